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

    void choicesHoldTheirItemsAndData_data()
    {
        QTest::addColumn<QString>("box");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("driver") << "driverChoice" << kDrivers;
        QTest::newRow("rate") << "rateChoice"
                              << QStringList{"44.1 kHz=44100.7", "192.0 kHz=192000", "2822.4 kHz=2822399",
                                             "DSD 2x (5644.8 kHz)=5644800", "DSD 4x (11289.6 kHz)=11289600"};
        QTest::newRow("split") << "autoSplitChoice"
                               << QStringList{"Disabled=-1", "256 MB=256", "512 MB=512", "1 GB=1024",
                                              "2 GB=2048", "3.9 GB=3900"};
        QTest::newRow("monitoring") << "monitoringChoice" << QStringList{"Disabled", "Enabled"};
        QTest::newRow("dsd") << "dsdChoice" << QStringList{"dff", "dsf"};
    }
    void choicesHoldTheirItemsAndData()
    {
        QFETCH(QString, box);
        QFETCH(QStringList, expected);
        QCOMPARE(items(dialog->findChild<QComboBox*>(box)), expected);
    }

    // The keyboard reaches the getters; the setters match exactly or leave nothing chosen.
    void choicesReachTheGettersExactly()
    {
        QTest::keyClick(box("rateChoice"), Qt::Key_Home);
        QCOMPARE(dialog->sampleRate(), 44100);  // truncated from 44100.7
        QTest::keyClick(box("rateChoice"), Qt::Key_End);
        QCOMPARE(dialog->sampleRate(), 11289600);
        QTest::keyClick(box("driverChoice"), Qt::Key_Down);
        QCOMPARE(dialog->driver(), QStringLiteral("Card B"));
        dialog->setAsioMonitoring(true);
        QVERIFY(dialog->asioMonitoring());
        QTest::keyClick(box("monitoringChoice"), Qt::Key_Up);
        QVERIFY(!dialog->asioMonitoring());
        QTest::keyClick(box("dsdChoice"), Qt::Key_Down);
        QCOMPARE(dialog->dsdDefault(), QStringLiteral("dsf"));
        dialog->setDsdDefault("DFF");
        QCOMPARE(dialog->dsdDefault(), QStringLiteral("dsf"));

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
        const QList<QPair<int, qint64>> items{{-1, -1},          {256, 268435456},   {512, 536870912},
                                              {1024, 1073741824}, {2048, 2147483648}, {3900, 4089446400}};
        for (const auto& [value, bytes] : items) {
            QCOMPARE(AsioConfigDialog::autoSplitBytes(value), bytes);
            dialog->setAutoSplitAt(bytes);
            QCOMPARE(dialog->autoSplitAt(), value);
        }
        for (qint64 unmatched : {qint64(1000000000), qint64(-1048576), qint64(0)}) {
            dialog->setAutoSplitAt(unmatched);
            QCOMPARE(dialog->autoSplitAt(), 0);
        }
        dialog->setAutoSplitText("1 GB");
        QCOMPARE(dialog->autoSplitAt(), 1024);
    }

    void okAcceptsAndCancelRejects()
    {
        for (const auto& [text, result] : {qMakePair(QString("OK"), int(QDialog::Accepted)),
                                          qMakePair(QString("Cancel"), int(QDialog::Rejected))}) {
            QPushButton* b = button(text);
            QVERIFY(b);
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
        for (QLabel* label : dialog->findChildren<QLabel*>()) {
            if (label->alignment() == Qt::AlignCenter)
                headings << label->text();
            else if (label->isVisible())
                fields << label->text();
            else
                fields << '(' + label->text() + ')';
        }
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
