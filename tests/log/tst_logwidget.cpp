// The log table driven through its own menus, with real files and a real sender thread.
#include "logfilter.h"
#include "logwidget.h"

#include <QtTest>
#include <QtWidgets>

namespace {
QTableWidget* tableOf(LogWidget& log)
{
    return log.findChild<QTableWidget*>();
}

// Triggers each "menu/action" in turn, e.g. {"&View/Warning", "&Clear/Error"}; false if one
// is missing.
bool trigger(LogWidget& log, const QStringList& actions)
{
    int found = 0;
    for (const QString& path : actions)
        for (QMenu* menu : log.findChildren<QMenu*>())
            for (QAction* action : menu->actions())
                if (menu->title() + '/' + action->text() == path) {
                    action->trigger();
                    ++found;
                }
    return found == actions.size();
}

// "level:message" of every row in order, hidden rows in brackets.
QString rows(LogWidget& log)
{
    QStringList texts;
    QTableWidget* table = tableOf(log);
    for (int row = 0; row < table->rowCount(); ++row) {
        const QString text = table->item(row, 0)->text() + ':' + table->item(row, 3)->text();
        texts << (table->isRowHidden(row) ? '(' + text + ')' : text);
    }
    return texts.join(' ');
}

// Appends messages numbered from `first`, one per level given.
void appendNumbered(LogWidget& log, const QStringList& levels, int first = 0)
{
    for (int i = 0; i < levels.size(); ++i)
        log.append(QString::number(first + i), levels[i], "Controller");
}

// Hides the messages with its word; counts the live filters.
struct WordFilter : LogFilter
{
    WordFilter(const QString& word, int* alive) : word(word), alive(alive) { ++*alive; }
    ~WordFilter() override { --*alive; }
    bool hides(const QString& m, const QString&, const QString&, const QDateTime&, const QColor&,
               const QColor&) override
    {
        return m.contains(word);
    }
    QString word;
    int* alive;
};
} // namespace

// Any object with the log signal can feed the widget; this one stands for the controller.
class LogSource : public QObject
{
    Q_OBJECT
signals:
    void logMsg(QString msg, QString type, QString source, QColor color, QColor bgColor);
};

class TestLogWidget : public QObject
{
    Q_OBJECT
private slots:
    // Removing or trimming rows moves the ones behind: the level lists must point at them
    // afterwards, and forget the rows that are gone.
    void viewClearAndTrimFollowTheRows()
    {
        LogWidget log;
        appendNumbered(log, {"Info", "Warning", "Error", "Warning", "Error", "Info"});
        QVERIFY(trigger(log, {"&View/Warning"}));
        log.append("6", "Warning", "Controller");
        QCOMPARE(rows(log),
                 QString("Info:0 (Warning:1) Error:2 (Warning:3) Error:4 Info:5 (Warning:6)"));
        QVERIFY(trigger(log, {"&Clear/Error", "&View/Warning", "&View/Info"}));
        QCOMPARE(rows(log), QString("(Info:0) Warning:1 Warning:3 (Info:5) Warning:6"));

        // Clearing keeps the levels hidden: showing and hiding Info touches only its own row.
        log.clear();
        appendNumbered(log, {"Warning", "Info"}, 7);
        QVERIFY(trigger(log, {"&View/Info", "&View/Info"}));
        QCOMPARE(rows(log), QString("Warning:7 (Info:8)"));
        QVERIFY(trigger(log, {"&Clear/&All", "&View/Info"}));
        log.append("9", "Info", "Controller");
        QCOMPARE(rows(log), QString("Info:9"));

        // Over the limit the newest half stays.
        log.clear();
        log.setMaximumNumberOfLogs(10);
        QVERIFY(trigger(log, {"&View/Warning"}));
        appendNumbered(log, {"Info", "Warning", "Error", "Info", "Warning", "Error", "Info", "Info",
                             "Error", "Warning"});
        QCOMPARE(rows(log), QString("Error:5 Info:6 Info:7 Error:8 (Warning:9)"));
        QVERIFY(trigger(log, {"&View/Warning", "&View/Error", "&Clear/Warning"}));
        QCOMPARE(rows(log), QString("(Error:5) Info:6 Info:7 (Error:8)"));
    }

    // The view follows new rows, but not while someone reads an older one.
    void scrollingFollowsFocus()
    {
        LogWidget log;
        log.resize(400, 120);
        log.show();
        QApplication::setActiveWindow(&log);
        QVERIFY(QTest::qWaitForWindowActive(&log));
        QTableWidget* table = tableOf(log);
        QScrollBar* bar = table->verticalScrollBar();
        for (int i = 0; i < 40; ++i)
            log.appendInfo(QString::number(i));
        QCOMPARE(table->currentRow(), 39);
        QVERIFY(bar->maximum() > 0 && bar->value() == bar->maximum());

        table->setFocus();
        QTRY_VERIFY(table->hasFocus());
        table->setCurrentCell(3, 0);
        table->scrollToTop();
        log.appendInfo("while reading");
        QVERIFY(table->currentRow() == 3 && bar->value() == 0);
    }

    // The Time column shows the time of day to the millisecond, the tool tip the date too. Copy
    // and Save take the rows on view (not those hidden by level or filter), with date and time,
    // in UTF-8, the file cut to the new text; an empty level is shown and handled as MSG. A full
    // disk is reported, the reason appended to what the caller's string held.
    void copyAndSaveTheRowsOnViewInUtf8()
    {
        int alive = 0;
        LogWidget log;
        log.setDefaultSource("Main");
        const QString tokyo = QString::fromUtf8("recording into /m/\xE6\x9D\xB1\xE4\xBA\xAC/t.dsf");
        const QString cologne = QString::fromUtf8("closed /m/K\xC3\xB6ln.dff");
        log.append(tokyo, "Info", "Controller");
        log.appendWarning("disk slow");
        log.appendInfo(cologne);
        log.append("filtered", "Info", "Controller");
        log.applyFilter(new WordFilter("filtered", &alive));
        QVERIFY(trigger(log, {"&View/Warning"}));

        const QTableWidgetItem* time = tableOf(log)->item(0, 1);
        QVERIFY2(
            QRegularExpression("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d$").match(time->text()).hasMatch(),
            qPrintable(time->text()));
        const QDateTime stamped = QDateTime::fromString(time->toolTip(), "yyyy-MM-dd hh:mm:ss.zzz");
        QVERIFY2(std::abs(stamped.secsTo(QDateTime::currentDateTime())) < 60,
                 qPrintable(time->toolTip()));
        QVERIFY(time->toolTip().endsWith(time->text()));

        const auto withoutTimes = [](QString text) {
            return text.replace(
                QRegularExpression(" \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} "), " T ");
        };
        const QString expected = "Info T Controller " + tokyo + "\nInfo T Main " + cologne + "\n";
        log.copyToClipboard();
        QCOMPARE(withoutTimes(QApplication::clipboard()->text()), expected);
        QTemporaryDir dir;
        QFile file(dir.filePath("log.txt"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(500, 'x')) == 500);
        file.close();
        QString error;
        QVERIFY(log.save(file.fileName(), &error) && error.isEmpty() &&
                file.open(QIODevice::ReadOnly));
        QCOMPARE(withoutTimes(QString::fromUtf8(file.readAll())), expected);

        log.removeFilter();
        log.append("plain", "", "Controller");
        QCOMPARE(rows(log), "Info:" + tokyo + " Warning:disk slow Info:" + cologne +
                                " Info:filtered MSG:plain");
        QVERIFY(log.isTypeVisible("MSG") && trigger(log, {"&Clear/MSG"}));
        QCOMPARE(rows(log),
                 "Info:" + tokyo + " Warning:disk slow Info:" + cologne + " Info:filtered");
        error = "previous: ";
        QVERIFY2(!log.save("/dev/full", &error) && error.startsWith("previous: ") &&
                     error.size() > 10 && !log.save("/dev/full"),
                 qPrintable(error));
    }

    // The widget owns its filter: a replaced, removed or last filter is released.
    void filterHidesRowsAndIsOwned()
    {
        int alive = 0;
        {
            LogWidget log;
            log.append("public one", "Info", "Controller");
            log.append("secret two", "Error", "Controller");
            log.applyFilter(new WordFilter("secret", &alive));
            log.append("another secret", "Info", "Controller");
            log.append("visible", "Info", "Controller");
            QCOMPARE(
                rows(log),
                QString("Info:public one (Error:secret two) (Info:another secret) Info:visible"));
            log.applyFilter(new WordFilter("public", &alive));
            log.applyFilter(log.filter());
            QCOMPARE(QString::number(alive) + " alive: " + rows(log),
                     QString("1 alive: (Info:public one) Error:secret two Info:another secret "
                             "Info:visible"));
            log.removeFilter();
            QVERIFY(alive == 0 && !log.filter() && !rows(log).contains('('));
            log.applyFilter(new WordFilter("visible", &alive));
        }
        QCOMPARE(alive, 0);
    }

    // A sender on another thread reaches the table through a queued connection, in order.
    void logObjectOnOtherThreadArrivesQueued()
    {
        LogWidget log;
        LogSource source;
        QVERIFY(log.addLogObject(&source));
        QStringList expected;
        for (int i = 0; i < 300; ++i)
            expected << QString("Dbg:%1").arg(i);
        std::unique_ptr<QThread> thread(QThread::create([&source] {
            for (int i = 0; i < 300; ++i)
                emit source.logMsg(QString::number(i), "Dbg", "Controller", Qt::darkGray,
                                   QColor(240, 240, 240));
        }));
        thread->start();
        QVERIFY(thread->wait(10000));
        QCOMPARE(tableOf(log)->rowCount(), 0); // queued: nothing before the event loop runs
        QTRY_COMPARE(rows(log), expected.join(' '));
        QCOMPARE(tableOf(log)->item(0, 2)->text(), QString("Controller"));
    }
};

QTEST_MAIN(TestLogWidget)
#include "tst_logwidget.moc"
