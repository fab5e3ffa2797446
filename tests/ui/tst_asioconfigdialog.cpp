// The settings dialog on the offscreen platform: its choices driven with the keyboard and
// through its slots, OK and Cancel clicked while exec() runs, and the look of its groups.
#include "asioconfigdialog.h"

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

namespace {
const QList<double> kRates{44100.7, 192000, 2822399, 5644800, 11289600};
const QStringList kDrivers{QStringLiteral("Card A"), QStringLiteral("Card B")};

// "text" of every item, "text=data" where it carries data.
QStringList items(const QComboBox* box)
{
    QStringList texts;
    for (int i = 0; i < box->count(); ++i)
        texts << box->itemText(i)
                     + (box->itemData(i).isValid() ? '=' + box->itemData(i).toString() : QString());
    return texts;
}

QPushButton* button(const QDialog& dialog, const QString& text)
{
    for (auto* b : dialog.findChildren<QPushButton*>())
        if (b->text() == text)
            return b;
    return nullptr;
}
} // namespace

class TestAsioConfigDialog : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        dialog = new AsioConfigDialog(kRates, kDrivers);
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog));
        driver = dialog->findChild<QComboBox*>(QStringLiteral("driverChoice"));
        rate = dialog->findChild<QComboBox*>(QStringLiteral("rateChoice"));
        split = dialog->findChild<QComboBox*>(QStringLiteral("autoSplitChoice"));
        monitoring = dialog->findChild<QComboBox*>(QStringLiteral("monitoringChoice"));
        dsd = dialog->findChild<QComboBox*>(QStringLiteral("dsdChoice"));
        QVERIFY(driver && rate && split && monitoring && dsd);
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

    void keyboardChoicesReachTheGetters()
    {
        rate->setFocus();
        QTest::keyClick(rate, Qt::Key_Home);
        QCOMPARE(dialog->sampleRate(), 44100); // truncated from 44100.7
        QTest::keyClick(rate, Qt::Key_End);
        QCOMPARE(dialog->sampleRate(), 11289600);
        QTest::keyClick(driver, Qt::Key_Down);
        QCOMPARE(dialog->driver(), QStringLiteral("Card B"));
        dialog->setAsioMonitoring(true);
        QCOMPARE(monitoring->currentText(), QStringLiteral("Enabled"));
        QVERIFY(dialog->asioMonitoring());
        QTest::keyClick(monitoring, Qt::Key_Up);
        QVERIFY(!dialog->asioMonitoring());
        QTest::keyClick(dsd, Qt::Key_Down);
        QCOMPARE(dialog->dsdDefault(), QStringLiteral("dsf"));
    }

    void settersMatchExactlyOrClear()
    {
        dialog->setSampleRate(192000.04); // same shown text as 192000
        QCOMPARE(rate->currentIndex(), 1);
        QCOMPARE(dialog->sampleRate(), 192000);
        dialog->setSampleRate(48000);
        QCOMPARE(rate->currentIndex(), -1);
        QCOMPARE(dialog->sampleRate(), 0);
        dialog->setDriver(QStringLiteral("Card B"));
        QCOMPARE(dialog->driver(), QStringLiteral("Card B"));
        for (const char* near : {"card b", "Card", "Card B "}) {
            dialog->setDriver(QString::fromLatin1(near));
            QCOMPARE(driver->currentIndex(), -1);
            QCOMPARE(dialog->driver(), QString());
        }
        dialog->setDsdDefault(QStringLiteral("DSF"));
        QCOMPARE(dialog->dsdDefault(), QStringLiteral("dff"));
        dialog->setDsdDefault(QStringLiteral("dsf"));
        dialog->setDsdDefault(QStringLiteral("DFF"));
        QCOMPARE(dialog->dsdDefault(), QStringLiteral("dsf"));
    }

    // The main window selects from the controller's byte count and applies the chosen item
    // through autoSplitBytes, so every item must survive that round trip unchanged.
    void autoSplitRoundTrips()
    {
        const QList<QPair<int, qint64>> items{{-1, -1},          {256, 268435456},
                                              {512, 536870912},  {1024, 1073741824},
                                              {2048, 2147483648}, {3900, 4089446400}};
        for (const auto& [value, bytes] : items) {
            QCOMPARE(AsioConfigDialog::autoSplitBytes(value), bytes);
            dialog->setAutoSplitAt(bytes);
            QCOMPARE(dialog->autoSplitAt(), value);
            QCOMPARE(AsioConfigDialog::autoSplitBytes(dialog->autoSplitAt()), bytes);
        }
        for (qint64 unmatched : {qint64(1000000000), qint64(-1048576), qint64(0)}) {
            dialog->setAutoSplitAt(unmatched);
            QCOMPARE(split->currentIndex(), -1);
            QCOMPARE(dialog->autoSplitAt(), 0);
        }
        dialog->setAutoSplitText(QStringLiteral("1 GB"));
        QCOMPARE(dialog->autoSplitAt(), 1024);
    }

    void okAcceptsAndCancelRejects()
    {
        for (const auto& [text, result] : {qMakePair(QStringLiteral("OK"), int(QDialog::Accepted)),
                                          qMakePair(QStringLiteral("Cancel"),
                                                    int(QDialog::Rejected))}) {
            QPushButton* b = button(*dialog, text);
            QVERIFY(b);
            QTimer::singleShot(0, b, [b] { QTest::mouseClick(b, Qt::LeftButton); });
            QCOMPARE(dialog->exec(), result);
        }
    }

    void groupsAndLabelsAreLaidOut()
    {
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Config Dialog - Software version 1.3"));
        QVERIFY(!dialog->windowFlags().testFlag(Qt::WindowContextHelpButtonHint));
        QCOMPARE(dialog->palette().color(QPalette::Inactive, QPalette::Window), QColor("#999999"));
        const QString sheet = QStringLiteral(
            "QGroupBox { background-color: qlineargradient(x1: 0, y1: 0, x2: 1, y2: 1,stop: 0 "
            "#c8c8c8, stop: 1 #b4b4b4); border: 0px solid gray; border-radius: 10px; margin-top: "
            "1ex; }QGroupBox::title {font: bold 14px;subcontrol-origin: margin;"
            "subcontrol-position: top center;padding: 0 3px;}");
        const auto groups = dialog->findChildren<QGroupBox*>();
        QCOMPARE(groups.size(), 3);
        QStringList headings;
        for (const QGroupBox* group : groups) {
            QCOMPARE(group->title(), QString());
            QCOMPARE(group->styleSheet(), sheet);
            auto* heading = qobject_cast<QLabel*>(
                static_cast<QGridLayout*>(group->layout())->itemAtPosition(0, 0)->widget());
            QVERIFY(heading);
            QCOMPARE(heading->alignment(), Qt::AlignCenter);
            QCOMPARE(heading->font().family(), QStringLiteral("Arial"));
            QCOMPARE(heading->font().pointSize(), 12);
            headings << heading->text();
        }
        QCOMPARE(headings, QStringList({"Input Device Options", "File Options",
                                        "Monitoring Options"}));

        QStringList fields;
        for (QLabel* label : dialog->findChildren<QLabel*>()) {
            if (label->alignment() != (Qt::AlignRight | Qt::AlignVCenter))
                continue;
            fields << label->text();
            const int width =
                label->fontMetrics().horizontalAdvance(QStringLiteral(" Direct through A/D "));
            QCOMPARE(label->minimumWidth(), width);
            QCOMPARE(label->maximumWidth(), width);
            QCOMPARE(label->isVisible(), label->text() != QStringLiteral("Auto-Split at"));
        }
        fields.sort();
        QCOMPARE(fields, QStringList({"Auto-Split at", "Default DSD", "Direct through A/D",
                                      "Input Device", "Sampling Rate"}));
        QVERIFY(!split->isVisible());
        QVERIFY(dsd->isVisible());

        QCOMPARE(dialog->layout()->sizeConstraint(), QLayout::SetFixedSize);
        QCOMPARE(dialog->minimumSize(), dialog->maximumSize());
        QPushButton* ok = button(*dialog, QStringLiteral("OK"));
        QPushButton* cancel = button(*dialog, QStringLiteral("Cancel"));
        QVERIFY(ok->x() < cancel->x());
        QVERIFY(ok->y() > groups.last()->geometry().bottom());
    }

private:
    AsioConfigDialog* dialog = nullptr;
    QComboBox* driver = nullptr;
    QComboBox* rate = nullptr;
    QComboBox* split = nullptr;
    QComboBox* monitoring = nullptr;
    QComboBox* dsd = nullptr;
};

QTEST_MAIN(TestAsioConfigDialog)
#include "tst_asioconfigdialog.moc"
