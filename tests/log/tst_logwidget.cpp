#include "logfilter.h"
#include "logwidget.h"

#include <QAction>
#include <QFile>
#include <QMenu>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

namespace {

QMenu* submenu(LogWidget& log, const QString& title)
{
    for (QMenu* menu : log.findChildren<QMenu*>()) {
        if (menu->title() == title)
            return menu;
    }
    return nullptr;
}

QAction* menuAction(LogWidget& log, const QString& menuTitle, const QString& text)
{
    QMenu* menu = submenu(log, menuTitle);
    if (!menu)
        return nullptr;
    for (QAction* action : menu->actions()) {
        if (action->text() == text)
            return action;
    }
    return nullptr;
}

QTableWidget* tableOf(LogWidget& log)
{
    return log.findChild<QTableWidget*>();
}

QString cellText(LogWidget& log, int row, int column)
{
    const QTableWidgetItem* cell = tableOf(log)->item(row, column);
    return cell ? cell->text() : QString();
}

// The levels of the rows hidden right now, in row order.
QStringList hiddenLevels(LogWidget& log)
{
    QStringList levels;
    QTableWidget* table = tableOf(log);
    for (int row = 0; row < table->rowCount(); ++row) {
        if (table->isRowHidden(row))
            levels << cellText(log, row, 0);
    }
    return levels;
}

class WordFilter : public LogFilter
{
public:
    WordFilter(const QString& word, int* alive) : word(word), alive(alive) { ++*alive; }
    ~WordFilter() override { --*alive; }
    bool hides(const QString& message, const QString&, const QString&, const QDateTime&,
               const QColor&, const QColor&) override
    {
        return message.contains(word);
    }

private:
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
    void viewActionsHideAndShowLevels();
    void clearActionsRemoveRowsAndKeepLevelLists();
    void rowLimitKeepsNewestHalf();
    void scrollingFollowsFocus();
    void textOfRows();
    void emptyTypeBecomesMsg();
    void saveWritesLatin1AndTruncates();
    void saveReportsFailures();
    void filterHidesRowsAndIsOwned();
    void logObjectOnOtherThreadArrivesQueued();
};

void TestLogWidget::viewActionsHideAndShowLevels()
{
    LogWidget log;
    log.append("a", "Info", "Controller");
    log.append("b", "Warning", "Controller");
    log.append("c", "Error", "Controller");
    log.append("d", "Warning", "Controller");
    QAction* warning = menuAction(log, "&View", "Warning");
    QVERIFY(warning);
    QVERIFY(warning->isCheckable() && warning->isChecked());

    warning->trigger();
    QCOMPARE(hiddenLevels(log), QStringList({"Warning", "Warning"}));
    QVERIFY(!log.isWarningsVisible());
    QVERIFY(log.isInfosVisible() && log.isErrorsVisible());
    log.append("e", "Warning", "Controller");
    QCOMPARE(hiddenLevels(log), QStringList({"Warning", "Warning", "Warning"}));

    log.clear();
    QCOMPARE(tableOf(log)->rowCount(), 0);
    QVERIFY(!warning->isChecked());
    log.append("f", "Warning", "Controller");
    log.append("g", "Info", "Controller");
    QCOMPARE(hiddenLevels(log), QStringList({"Warning"}));

    warning->trigger();
    QVERIFY(hiddenLevels(log).isEmpty());
}

void TestLogWidget::clearActionsRemoveRowsAndKeepLevelLists()
{
    LogWidget log;
    const QStringList levels = {"Info", "Error", "Warning", "Error", "Info", "Error", "Info"};
    for (int i = 0; i < levels.size(); ++i)
        log.append(QString::number(i), levels[i], "Controller");

    QAction* clearErrors = menuAction(log, "&Clear", "Error");
    QVERIFY(clearErrors);
    clearErrors->trigger();
    QCOMPARE(tableOf(log)->rowCount(), 4);
    const QStringList expected = {"0", "2", "4", "6"};
    for (int row = 0; row < expected.size(); ++row)
        QCOMPARE(cellText(log, row, 3), expected[row]);

    // The level lists must point at the moved rows: hiding Info hides exactly rows 0, 2, 3.
    menuAction(log, "&View", "Info")->trigger();
    QTableWidget* table = tableOf(log);
    QVERIFY(table->isRowHidden(0) && !table->isRowHidden(1));
    QVERIFY(table->isRowHidden(2) && table->isRowHidden(3));
    menuAction(log, "&View", "Info")->trigger();
    menuAction(log, "&View", "Warning")->trigger();
    QCOMPARE(hiddenLevels(log), QStringList({"Warning"}));
    QCOMPARE(cellText(log, 1, 3), QString("2"));

    QAction* all = menuAction(log, "&Clear", "&All");
    QVERIFY(all);
    all->trigger();
    QCOMPARE(table->rowCount(), 0);
    QVERIFY(menuAction(log, "&Clear", "Error"));
    log.append("again", "Info", "Controller");
    menuAction(log, "&View", "Info")->trigger();
    QVERIFY(table->isRowHidden(0));
}

void TestLogWidget::rowLimitKeepsNewestHalf()
{
    LogWidget log;
    log.setMaximumNumberOfLogs(10);
    QCOMPARE(log.maximumNumberOfLogs(), 10);
    const QStringList levels = {"Info", "Warning", "Error", "Info",  "Warning",
                                "Error", "Info", "Info", "Error", "Warning"};
    for (int i = 0; i < levels.size(); ++i) {
        log.append(QString("m%1").arg(i), levels[i], "Controller");
        if (i == 1)
            menuAction(log, "&View", "Warning")->trigger();
    }

    QTableWidget* table = tableOf(log);
    QCOMPARE(table->rowCount(), 5);
    for (int row = 0; row < 5; ++row) {
        QCOMPARE(cellText(log, row, 3), QString("m%1").arg(row + 5));
        QCOMPARE(cellText(log, row, 0), levels[row + 5]);
    }
    QCOMPARE(hiddenLevels(log), QStringList({"Warning"}));
    QVERIFY(table->isRowHidden(4));

    menuAction(log, "&View", "Info")->trigger();
    QCOMPARE(hiddenLevels(log), QStringList({"Info", "Info", "Warning"}));
    QVERIFY(table->isRowHidden(1) && table->isRowHidden(2));
    menuAction(log, "&View", "Info")->trigger();
    menuAction(log, "&View", "Warning")->trigger();
    menuAction(log, "&View", "Error")->trigger();
    QCOMPARE(hiddenLevels(log), QStringList({"Error", "Error"}));
    QVERIFY(table->isRowHidden(0) && table->isRowHidden(3));

    // The levels of the trimmed rows are gone: clearing Warning removes only the new one.
    menuAction(log, "&Clear", "Warning")->trigger();
    QCOMPARE(table->rowCount(), 4);
    QCOMPARE(cellText(log, 3, 3), QString("m8"));
}

void TestLogWidget::scrollingFollowsFocus()
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
    QVERIFY(bar->maximum() > 0);
    QCOMPARE(bar->value(), bar->maximum());

    table->setFocus();
    QTRY_VERIFY(table->hasFocus());
    table->setCurrentCell(3, 0);
    table->scrollToTop();
    log.appendInfo("while reading");
    QCOMPARE(table->currentRow(), 3);
    QCOMPARE(bar->value(), 0);

    table->clearFocus();
    QTRY_VERIFY(!table->hasFocus());
    log.appendInfo("unattended");
    QCOMPARE(bar->value(), bar->maximum());
    QVERIFY(!table->currentItem());

    // With no current row the view still follows, and the last row becomes current again once
    // the user puts it there.
    log.appendInfo("no current row");
    QCOMPARE(bar->value(), bar->maximum());
    table->setCurrentCell(table->rowCount() - 1, 2);
    log.appendInfo("last row");
    QCOMPARE(table->currentRow(), table->rowCount() - 1);
    QCOMPARE(table->currentColumn(), 2);
}

void TestLogWidget::textOfRows()
{
    LogWidget log;
    log.append("ready", "Info", "Controller");
    const QRegularExpression line(
        "^Info \\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d Controller ready\\n$");
    QVERIFY2(line.match(log.toText()).hasMatch(), qPrintable(log.toText()));

    log.setDateTimeFormat("'at'");
    log.setDefaultSource("Main");
    log.appendWarning("disk slow");
    menuAction(log, "&View", "Warning")->trigger();
    QCOMPARE(log.rowText(1), QString("Warning at Main disk slow\n"));
    QVERIFY(log.toText().endsWith("Controller ready\nWarning at Main disk slow\n"));
    QCOMPARE(log.toText().count('\n'), 2);
}

void TestLogWidget::emptyTypeBecomesMsg()
{
    LogWidget log;
    log.append("plain", "", "Controller", Qt::blue, Qt::yellow);
    QCOMPARE(cellText(log, 0, 0), QString("MSG"));
    QVERIFY(menuAction(log, "&View", "MSG"));
    QVERIFY(menuAction(log, "&Clear", "MSG"));
    QVERIFY(log.isTypeVisible("MSG"));
    const QTableWidgetItem* message = tableOf(log)->item(0, 3);
    QCOMPARE(message->foreground().color(), QColor(Qt::blue));
    QCOMPARE(message->background().color(), QColor(Qt::yellow));
    QCOMPARE(message->flags(), Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    menuAction(log, "&Clear", "MSG")->trigger();
    QCOMPARE(tableOf(log)->rowCount(), 0);
}

void TestLogWidget::saveWritesLatin1AndTruncates()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString name = dir.filePath("log.txt");
    QFile old(name);
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write(QByteArray(500, 'x'));
    old.close();

    LogWidget log;
    log.setDateTimeFormat("'at'");
    log.append(QString::fromUtf8("\xC3\x9c" "bergabe caf\xC3\xA9"), "Info", "Controller");
    log.append("second", "Error", "Controller");
    QString error;
    QVERIFY(log.save(name, &error));
    QVERIFY(error.isEmpty());

    QFile saved(name);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(),
             QByteArray("Info at Controller \xDC" "bergabe caf\xE9\nError at Controller second\n"));
}

void TestLogWidget::saveReportsFailures()
{
    LogWidget log;
    for (int i = 0; i < 200; ++i)
        log.appendInfo(QString("line %1 of a log that does not fit on a full disk").arg(i));

    if (QFile::exists("/dev/full")) {
        QString error = "previous: ";
        QVERIFY(!log.save("/dev/full", &error));
        QVERIFY(error.startsWith("previous: "));
        QVERIFY(error.size() > QString("previous: ").size());
        QVERIFY(!log.save("/dev/full"));
    }

    QTemporaryDir dir;
    QString error;
    QVERIFY(!log.save(dir.filePath("missing/log.txt"), &error));
    QVERIFY(!error.isEmpty());
}

void TestLogWidget::filterHidesRowsAndIsOwned()
{
    int alive = 0;
    {
        LogWidget log;
        log.append("public one", "Info", "Controller");
        log.append("secret two", "Error", "Controller");
        log.append("public three", "Warning", "Controller");
        QTableWidget* table = tableOf(log);

        log.applyFilter(new WordFilter("secret", &alive));
        QVERIFY(!table->isRowHidden(0) && table->isRowHidden(1) && !table->isRowHidden(2));
        log.append("another secret", "Info", "Controller");
        log.append("visible", "Info", "Controller");
        QVERIFY(table->isRowHidden(3) && !table->isRowHidden(4));

        log.applyFilter(new WordFilter("public", &alive));
        QCOMPARE(alive, 1);
        QVERIFY(table->isRowHidden(0) && !table->isRowHidden(1) && table->isRowHidden(2));
        log.applyFilter(log.filter());
        QCOMPARE(alive, 1);

        log.removeFilter();
        QCOMPARE(alive, 0);
        QVERIFY(!log.filter());
        QVERIFY(hiddenLevels(log).isEmpty());

        log.applyFilter(new WordFilter("visible", &alive));
        QCOMPARE(alive, 1);
    }
    QCOMPARE(alive, 0);
}

void TestLogWidget::logObjectOnOtherThreadArrivesQueued()
{
    LogWidget log;
    QObject silent;
    QVERIFY(!log.addLogObject(nullptr));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("No such signal"));
    QVERIFY(!log.addLogObject(&silent));

    LogSource source;
    QVERIFY(log.addLogObject(&source));
    const int count = 300;
    QThread* thread = QThread::create([&source] {
        for (int i = 0; i < count; ++i)
            emit source.logMsg(QString::number(i), "Dbg", "Controller", Qt::darkGray,
                               QColor(240, 240, 240));
    });
    thread->start();
    QVERIFY(thread->wait(10000));
    delete thread;
    // Queued: nothing reaches the table before the GUI thread's event loop runs.
    QCOMPARE(tableOf(log)->rowCount(), 0);

    QTRY_COMPARE(tableOf(log)->rowCount(), count);
    for (int row = 0; row < count; ++row)
        QCOMPARE(cellText(log, row, 3), QString::number(row));
    QCOMPARE(cellText(log, 0, 0), QString("Dbg"));
    QCOMPARE(cellText(log, 0, 2), QString("Controller"));
    QCOMPARE(tableOf(log)->item(0, 3)->background().color(), QColor(240, 240, 240));
}

QTEST_MAIN(TestLogWidget)
#include "tst_logwidget.moc"
