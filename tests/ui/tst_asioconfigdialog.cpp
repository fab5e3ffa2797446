// The settings dialog on the offscreen platform: its choices driven with the keyboard and
// through its slots, OK and Cancel clicked while exec() runs, and the texts the user reads.
#include "asioconfigdialog.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

namespace {
const QStringList kDrivers{"Card A", "Card B"};

// "text" of every item, "text=data" where it carries data.
QStringList items(const QComboBox* box)
{
    QStringList texts;
    for (int i = 0; i < box->count(); ++i)
        texts << box->itemText(i) + (box->itemData(i).isValid() ? '=' + box->itemData(i).toString() : "");
    return texts;
}
} // namespace

class TestAsioConfigDialog : public QObject
{
    Q_OBJECT
    AsioConfigDialog* dialog = nullptr;
    QComboBox* box(const char* name) const { return dialog->findChild<QComboBox*>(name); }
    // "driver rate monitoring dsd" as the getters give them.
    QString state() const
    {
        return QStringList{dialog->driver(), QString::number(dialog->sampleRate()),
                           QString::number(dialog->asioMonitoring()), dialog->dsdDefault()}
            .join(' ');
    }
    QPushButton* button(const QString& text) const
    {
        for (auto* b : dialog->findChildren<QPushButton*>())
            if (b->text() == text)
                return b;
        return nullptr;
    }

private slots:
    void init()
    {
        dialog = new AsioConfigDialog({44100.7, 192000, 2822399, 5644800, 11289600}, kDrivers);
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog));
    }
    void cleanup() { delete dialog; }

    // Every choice's items with their data; the keyboard reaches the getters, and the setters
    // match exactly or leave nothing chosen.
    void choicesAndTheirGetters()
    {
        QStringList all;
        for (const char* name : {"driverChoice", "rateChoice", "autoSplitChoice", "monitoringChoice", "dsdChoice"})
            all << items(box(name)).join(", ");
        QCOMPARE(all, QStringList({"Card A, Card B",
                                   "44.1 kHz=44100.7, 192.0 kHz=192000, 2822.4 kHz=2822399, "
                                   "DSD 2x (5644.8 kHz)=5644800, DSD 4x (11289.6 kHz)=11289600",
                                   "Disabled=-1, 256 MB=256, 512 MB=512, 1 GB=1024, 2 GB=2048, 3.9 GB=3900",
                                   "Disabled, Enabled", "dff, dsf"}));

        QTest::keyClick(box("rateChoice"), Qt::Key_Home);
        QCOMPARE(dialog->sampleRate(), 44100);  // truncated from 44100.7
        dialog->setAsioMonitoring(true);
        QVERIFY(dialog->asioMonitoring());
        const QPair<const char*, Qt::Key> keys[] = {{"rateChoice", Qt::Key_End}, {"driverChoice", Qt::Key_Down},
                                                    {"monitoringChoice", Qt::Key_Up}, {"dsdChoice", Qt::Key_Down}};
        for (const auto& [name, key] : keys)
            QTest::keyClick(box(name), key);
        dialog->setDsdDefault("DFF");
        QCOMPARE(state(), QString("Card B 11289600 0 dsf"));
        dialog->setSampleRate(192000.04);  // the same text as 192000
        QCOMPARE(dialog->sampleRate(), 192000);
        dialog->setSampleRate(48000);
        QCOMPARE(dialog->sampleRate(), 0);
        for (const char* near : {"card b", "Card", "Card B "}) {
            dialog->setDriver(near);
            QCOMPARE(dialog->driver(), QString());
        }
    }

    // The main window selects from the controller's byte count and applies the chosen item
    // through autoSplitBytes, so every item must survive that round trip unchanged.
    void autoSplitRoundTrips()
    {
        // Sizes that no item stands for (value 0) leave none chosen.
        const QList<QPair<int, qint64>> items{{-1, -1},           {256, 268435456},   {512, 536870912},
                                              {1024, 1073741824}, {2048, 2147483648}, {3900, 4089446400},
                                              {0, 1000000000},    {0, -1048576},      {0, 0}};
        for (const auto& [value, bytes] : items) {
            QVERIFY(value == 0 || AsioConfigDialog::autoSplitBytes(value) == bytes);
            dialog->setAutoSplitAt(bytes);
            QCOMPARE(dialog->autoSplitAt(), value);
        }
        dialog->setAutoSplitText("1 GB");
        QCOMPARE(dialog->autoSplitAt(), 1024);
    }

    void okAcceptsAndCancelRejects()
    {
        const QPair<QString, int> answers[] = {{"OK", QDialog::Accepted}, {"Cancel", QDialog::Rejected}};
        for (const auto& [text, result] : answers) {
            QPushButton* b = button(text);
            QTimer::singleShot(0, b, [b] { QTest::mouseClick(b, Qt::LeftButton); });
            QCOMPARE(dialog->exec(), result);
        }
    }

    // The auto-split pair is built but not shown; OK comes before Cancel, below the groups.
    void textsAndLayout()
    {
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Config Dialog - Software version 1.3"));
        QVERIFY(!dialog->windowFlags().testFlag(Qt::WindowContextHelpButtonHint));
        QStringList headings, fields;
        for (QLabel* label : dialog->findChildren<QLabel*>())
            (label->alignment() == Qt::AlignCenter ? headings : fields)
                << (label->isVisible() ? label->text() : '(' + label->text() + ')');
        QCOMPARE(headings, QStringList({"Input Device Options", "File Options", "Monitoring Options"}));
        fields.sort();
        QCOMPARE(fields, QStringList({"(Auto-Split at)", "Default DSD", "Direct through A/D", "Input Device",
                                      "Sampling Rate"}));
        QVERIFY(!box("autoSplitChoice")->isVisible() && box("dsdChoice")->isVisible());
        QCOMPARE(dialog->minimumSize(), dialog->maximumSize());
        QVERIFY(button("OK")->x() < button("Cancel")->x());
        QVERIFY(button("OK")->y() > dialog->findChildren<QGroupBox*>().last()->geometry().bottom());
    }
};

QTEST_MAIN(TestAsioConfigDialog)
#include "tst_asioconfigdialog.moc"
