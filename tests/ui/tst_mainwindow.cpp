// The main window driven through its real widgets on the offscreen platform, with a real
// controller and the scriptable test driver behind it. The recording of the simulated tone by
// clicks is tested on the real program, in the start-up tests.
#include "asioconfigdialog.h"
#include "asiocontroller.h"
#include "asiodrivers.h"
#include "asiohoststate.h"
#include "audiofilewriter.h"
#include "ctrlsplitsizeadjuster.h"
#include "logwidget.h"
#include "mainwindow.h"
#include "mediaprobe.h"
#include "partitionmanager.h"
#include "testdriver.h"
#include "winfsinfo.h"

#include <QComboBox>
#include <QDockWidget>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QStackedWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>
#include <functional>
#include <optional>
#include <unistd.h>

namespace {
const char* const kDriver = "Halvik UI Driver";

// The real controller, with the commands the window gives recorded on the way through and
// the two queries that depend on the disk's speed and the device's presence settable.
class ProbeController : public AsioController
{
public:
    using AsioController::AsioController;
    QList<bool> starts;
    int nextTracks = 0;
    int refreshes = 0;
    QStringList reinits;
    std::optional<qint64> forcedBytes;
    std::optional<bool> forcedRecording;
    bool forcedReconnecting = false;

    bool startRecording(bool overwrite) override
    {
        starts << overwrite;
        return AsioController::startRecording(overwrite);
    }
    void recordNextTrack() override
    {
        ++nextTracks;
        AsioController::recordNextTrack();
    }
    bool refreshInfo() override
    {
        ++refreshes;
        return AsioController::refreshInfo();
    }
    void reinitializeDriver(QString name, double rate, bool onlyIfChanged) override
    {
        reinits << QStringLiteral("%1 %2 %3").arg(name).arg(rate, 0, 'f', 0).arg(onlyIfChanged);
        AsioController::reinitializeDriver(name, rate, onlyIfChanged);
    }
    qint64 bufferedBytes() const override
    {
        return forcedBytes ? *forcedBytes : AsioController::bufferedBytes();
    }
    bool isRecording() const override
    {
        return forcedRecording ? *forcedRecording : AsioController::isRecording();
    }
    bool isReconnecting() const override
    {
        return forcedReconnecting || AsioController::isReconnecting();
    }
};

struct BoxSeen
{
    QString title, text;
    bool lampIcon = false;
};
} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    QSharedPointer<PartitionManager> pool;
    ProbeController* controller = nullptr;
    CtrlSplitSizeAdjuster* adjuster = nullptr;
    MainWindow* window = nullptr;
    QList<BoxSeen> boxes;
    QStringList unexpected;  // modal widgets no test step answered
    QList<QPointer<QTimer>> pendingAnswers;
    void dropPendingAnswers()
    {
        for (const QPointer<QTimer>& poll : pendingAnswers)
            delete poll.data();
        pendingAnswers.clear();
    }
    QPointer<QWidget> lingering;
    int lingeringTicks = 0;

    // A modal widget that stays up for two seconds was not expected by the test step: it is
    // recorded and closed, so the step fails instead of hanging.
    void closeForgottenModals()
    {
        QWidget* modal = QApplication::activeModalWidget();
        lingeringTicks = (modal && modal == lingering) ? lingeringTicks + 1 : 0;
        lingering = modal;
        if (!modal || lingeringTicks < 8)
            return;
        auto* box = qobject_cast<QMessageBox*>(modal);
        unexpected << modal->metaObject()->className() + QStringLiteral(": ")
                          + (box ? box->windowTitle() + " / " + box->text() : modal->windowTitle());
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
        else
            modal->close();
    }

    template <typename T> T* child(const char* name) const
    {
        T* widget = window->findChild<T*>(QString::fromLatin1(name));
        if (!widget)
            qFatal("no widget %s", name);
        return widget;
    }
    QPushButton* button(const char* name) const { return child<QPushButton>(name); }
    QString status() const { return child<QLineEdit>("statusLine")->text(); }
    QString path(const QString& name) const { return dir.filePath(name); }

    // Answers the next modal widget once it is up: the action gets it, the box is recorded.
    void answerModal(std::function<void(QWidget*)> action)
    {
        auto* poll = new QTimer(this);
        connect(poll, &QTimer::timeout, this, [this, poll, action]() {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal)
                return;
            poll->deleteLater();
            poll->stop();
            if (auto* box = qobject_cast<QMessageBox*>(modal))
                boxes << BoxSeen{box->windowTitle(), box->text(),
                                 box->icon() == QMessageBox::NoIcon && !box->iconPixmap().isNull()};
            action(modal);
        });
        poll->start(20);
        pendingAnswers << poll;
    }
    void answerBox(QMessageBox::StandardButton answer)
    {
        answerModal([answer](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            if (box && box->button(answer))
                box->button(answer)->click();
            else
                modal->close();
        });
    }
    void typePath(const QString& text)
    {
        auto* edit = child<QLineEdit>("pathEdit");
        edit->clear();
        QTest::keyClicks(edit, text);
    }
    void refresh() { window->onTimer(); }
    QStringList mounts;
    // A small file system of its own: only root may mount one, others skip the test.
    void mountTmpfs(const QString& where, int mib)
    {
        if (geteuid() != 0)
            QSKIP("mounting a small tmpfs needs root");
        if (!mounts.contains(where) && QDir().mkpath(where)
            && QProcess::execute("mount", {"-t", "tmpfs", "-o", QString("size=%1m").arg(mib), "tmpfs", where}) == 0)
            mounts << where;
        if (!mounts.contains(where))
            QSKIP("tmpfs could not be mounted");
    }
    // Unplugged, the device stays away (its driver fails to initialise) until plugged again.
    void plugDevice(bool present)
    {
        TestDriverScript script = TestDriver::script(kDriver);
        script.initSucceeds = present;
        TestDriver::setScript(kDriver, script);
        if (!present)
            TestDriver::current(kDriver)->requestReset(true);
        QTRY_VERIFY_WITH_TIMEOUT(present ? controller->isDriverReady() : controller->isReconnecting(), 3000);
    }
    // Browses with the button, types the name into the file dialog's own field and presses its
    // accept button, as a user does; returns the file and the filter the dialog offered.
    QStringList browseTo(const QString& name)
    {
        QStringList offered;
        answerModal([&](QWidget* modal) {
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            QVERIFY(dialog);
            offered << dialog->selectedFiles().value(0) << dialog->nameFilters().join(";");
            auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            QVERIFY(edit);
            edit->setText(name);
            static_cast<QDialog*>(dialog)->accept();
        });
        QTest::mouseClick(button("browseButton"), Qt::LeftButton);
        return offered;
    }
    bool useDriver(const QString& name, double rate)
    {
        if (!controller->initializeDriver(name, rate))
            return false;
        refresh();
        return true;
    }
    bool waitIdle()
    {
        return QTest::qWaitFor([this] { return controller->isIdle(); }, 10000);
    }
    // Record, a moment, stop, with the buttons; true once the recorder is idle again.
    bool recordBrieflyByClicks()
    {
        QTest::mouseClick(button("recordButton"), Qt::LeftButton);
        QTest::qWait(200);
        QTest::mouseClick(button("stopButton"), Qt::LeftButton);
        const bool idle = waitIdle();
        refresh();
        return idle;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        auto* watchdog = new QTimer(this);
        connect(watchdog, &QTimer::timeout, this, &TestMainWindow::closeForgottenModals);
        watchdog->start(250);
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
        TestDriverScript script;
        script.driverName = kDriver;
        script.threadPeriodMs = 5;
        TestDriver::registerDriver(kDriver, script);
        AsioHostState* host = AsioHostState::instance();
        pool.reset(new PartitionManager(64u << 20));
        QSharedPointer<AudioFileWriter> writer(new AudioFileWriter(pool));
        controller = new ProbeController(host, QSharedPointer<AsioDrivers>(new AsioDrivers), pool,
                                         writer, 64, this);
        writer->setParent(controller);
        host->setBufferProcessor(controller);
        controller->scanDrivers();
        controller->scanSamplingRate();
        adjuster = new CtrlSplitSizeAdjuster(new WinFsInfo, controller);
        window = new MainWindow(controller, adjuster, path("start.dsf"), "dff");
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
    }

    void cleanup()
    {
        dropPendingAnswers();
        const QString forgotten = unexpected.join(QStringLiteral("; "));
        unexpected.clear();
        QVERIFY2(forgotten.isEmpty(), qPrintable(forgotten));
    }

    void cleanupTestCase()
    {
        controller->forcedBytes.reset();
        controller->forcedRecording.reset();
        controller->unloadCurrentDriver();
        delete window;
        for (const QString& where : qAsConst(mounts))
            QProcess::execute("umount", {where});
    }

    void withoutDriverNothingChanges()
    {
        QCOMPARE(controller->driverName(), QString());
        auto* stack = child<QStackedWidget>("stack");
        QTest::qWait(250);  // a few refreshes of the window's own timer
        QCOMPARE(stack->currentIndex(), 1);
        QCOMPARE(status(), QStringLiteral("No ASIO Driver found in your system"));
        QCOMPARE(child<QLabel>("timeLabel")->text(), QStringLiteral("--:--:--"));
        QVERIFY(window->windowFlags() & Qt::FramelessWindowHint);
        QCOMPARE(window->windowTitle(), QStringLiteral("Veloran -   @0.0 kHz"));
    }

    void logWindowAndShortcuts()
    {
        QDockWidget* log = window->logWindow();
        QCOMPARE(log->objectName(), QStringLiteral("LOG"));
        QVERIFY(log->isFloating());
        QVERIFY(!log->isVisible());
        window->activateWindow();
        QTRY_VERIFY(window->isActiveWindow());
        QTest::keyClick(window, Qt::Key_L, Qt::ControlModifier);
        QVERIFY(log->isVisible());
        QVERIFY(log->isFloating());
        QCOMPARE(window->dockWidgetArea(log), Qt::NoDockWidgetArea);
        QTest::keyClick(window, Qt::Key_L, Qt::ControlModifier);
        QVERIFY(!log->isVisible());

        // The controller's messages reach the table.
        controller->appendInfo(QStringLiteral("hello from the controller"));
        auto* table = window->logTable()->findChild<QTableWidget*>();
        QVERIFY(table);
        QTRY_VERIFY(window->logTable()->toText().contains("hello from the controller"));

        QVERIFY(useDriver(kDriver, 44100));
        window->activateWindow();
        QTRY_VERIFY(window->isActiveWindow());
        const int before = controller->refreshes;
        const QStringList callsBefore = TestDriver::calls(kDriver);
        QTest::keyClick(window, Qt::Key_F5);
        QCOMPARE(controller->refreshes, before + 1);
        QVERIFY(controller->reinits.isEmpty());
        QVERIFY(TestDriver::calls(kDriver).size() > callsBefore.size());
        QVERIFY(!TestDriver::calls(kDriver).mid(callsBefore.size()).contains("createBuffers"));
    }

    void statusTexts()
    {
        QVERIFY(controller->isDriverReady());
        refresh();
        QCOMPARE(status(), QStringLiteral("Halvik UI Driver - stopped PCM  @44.1 kHz"));
        QCOMPARE(child<QStackedWidget>("stack")->currentIndex(), 0);
        QVERIFY(button("recordButton")->isEnabled());
        QVERIFY(!button("stopButton")->isEnabled());
        QVERIFY(button("settingsButton")->isEnabled());

        controller->forcedReconnecting = true;
        child<QLabel>("timeLabel")->setText("12:34:56");
        refresh();
        QCOMPARE(status(), QStringLiteral("waiting for Halvik UI Driver (please check your USB "
                                          "connection)"));
        QVERIFY(!button("recordButton")->isEnabled());
        QVERIFY(!button("stopButton")->isEnabled());
        QVERIFY(!button("nextTrackButton")->isEnabled());
        QCOMPARE(child<QLabel>("timeLabel")->text(), QStringLiteral("12:34:56"));
        controller->forcedReconnecting = false;

        controller->forcedBytes = 512000;
        refresh();
        QVERIFY(!status().contains("slow drive"));
        controller->forcedBytes = 512001;
        refresh();
        QCOMPARE(status(), QStringLiteral("Halvik UI Driver - stopped PCM  @44.1 kHz (slow drive! "
                                          "using 0.5 MB RAM)"));
        controller->forcedBytes = 3 << 20;
        refresh();
        QVERIFY(status().endsWith(" (slow drive! using 3.0 MB RAM)"));
        controller->forcedBytes.reset();

        QVERIFY(useDriver(kDriver, 5644800));
        QCOMPARE(status(), QStringLiteral("Halvik UI Driver - stopped DSD 2x  @5644.8 kHz"));
        QCOMPARE(window->windowTitle(), QStringLiteral("Veloran - Halvik UI Driver  @5644.8 kHz"));

        // Recording at DSD 4x the line fits its field whole and shows from its first letter;
        // with the slow-drive note too it is cut at the right, the whole text in the tool tip.
        QVERIFY(useDriver(kDriver, 11289600));
        typePath(path("fit"));
        QTest::mouseClick(button("recordButton"), Qt::LeftButton);
        const QString pattern = "^Halvik UI Driver - recording DSD 4x  @11289\\.6 kHz \\(\\d+:\\d\\d:\\d\\d left\\)";
        auto* line = child<QLineEdit>("statusLine");
        for (const qint64 buffered : {0, 3 << 20}) {
            controller->forcedBytes = buffered;
            refresh();
            const QString whole = buffered ? line->toolTip() : line->text();
            QVERIFY2(QRegularExpression(pattern + (buffered ? " \\(slow drive! using 3\\.0 MB RAM\\)$" : "$"))
                         .match(whole).hasMatch(), qPrintable(whole));
            QCOMPARE(line->text().endsWith(QChar(0x2026)), buffered > 0);
            QVERIFY(whole.startsWith(line->text().chopped(buffered ? 1 : 0)));
            QVERIFY(QFontMetrics(line->font()).horizontalAdvance(line->text()) < line->contentsRect().width());
            QCOMPARE(line->cursorPosition(), 0);
        }
        controller->forcedBytes.reset();
        window->onStopRec();
        QVERIFY(waitIdle());
        QVERIFY(useDriver(kDriver, 44100));
    }

    void typedAndBrowsedNamesAndOverwrite()
    {
        typePath(path("typed.wav"));
        QCOMPARE(controller->fileName(), path("typed.wav"));
        QCOMPARE(window->lastPath(), path("typed.wav"));
        QTest::mouseClick(button("recordButton"), Qt::LeftButton);
        QCOMPARE(controller->starts.takeLast(), false);
        QVERIFY(controller->isRecording());
        refresh();
        QVERIFY2(QRegularExpression("^Halvik UI Driver - recording PCM  @44\\.1 kHz \\(\\d+:\\d\\d:\\d\\d left\\)$")
                     .match(status()).hasMatch(), qPrintable(status()));
        QVERIFY(child<QLineEdit>("pathEdit")->isReadOnly());
        QVERIFY(!button("browseButton")->isEnabled());
        QVERIFY(!button("settingsButton")->isEnabled());
        QVERIFY(!button("recordButton")->isEnabled());
        QCOMPARE(child<QStackedWidget>("stack")->currentIndex(), 1);
        QCOMPARE(child<QLineEdit>("pathEdit")->text(), controller->currentFileName());
        QTest::qWait(1100);
        refresh();
        QVERIFY(QRegularExpression("^00:00:0[1-9]$").match(child<QLabel>("timeLabel")->text()).hasMatch());
        QTest::mouseClick(button("stopButton"), Qt::LeftButton);
        const QString finalTime = child<QLabel>("timeLabel")->text();
        QVERIFY(waitIdle());
        QTest::qWait(150);
        QCOMPARE(child<QLabel>("timeLabel")->text(), finalTime);
        QVERIFY(status().contains(" - stopped PCM"));
        QVERIFY(button("recordButton")->isEnabled());
        QVERIFY(QFileInfo(path("typed.wav")).size() > 44);

        // Browsing with an empty field starts from the last path, in the mode's extension.
        child<QLineEdit>("pathEdit")->clear();
        QCOMPARE(browseTo(path("browsed.dsf")), QStringList({path("typed.wav"), "(*.wav)"}));
        QCOMPARE(child<QLineEdit>("pathEdit")->text(), path("browsed.wav"));
        QCOMPARE(controller->fileName(), path("browsed.wav"));

        // A browsed name covers exactly one start; the next start of the same name does not.
        QVERIFY(recordBrieflyByClicks());
        QCOMPARE(controller->starts.takeLast(), true);
        child<QLineEdit>("pathEdit")->setReadOnly(false);
        QVERIFY(recordBrieflyByClicks());
        QCOMPARE(controller->starts.takeLast(), false);
        // Not overwritten: the second start went into a free numbered name.
        QVERIFY(QFileInfo(path("browsed.wav")).size() > 44);
        QVERIFY(QDir(dir.path()).entryList({"browsed*.wav"}).size() >= 2);
    }

    void browsingInDsdOffersTheDsdType()
    {
        QVERIFY(useDriver(kDriver, 2822400));
        typePath(path("x.wav"));
        QCOMPARE(browseTo(path("chosen.wav")).value(1), QStringLiteral("(*.dff)"));
        QCOMPARE(controller->fileName(), path("chosen.dff"));
        QCOMPARE(window->normalizedFileName(QStringLiteral("/rec/my.take.dsf")),
                 QStringLiteral("/rec/my.take.dff"));
        QVERIFY(useDriver(kDriver, 44100));
        QCOMPARE(window->normalizedFileName(QStringLiteral("/rec/take")), QStringLiteral("/rec/take.wav"));

        // Cancelling changes nothing.
        answerModal([](QWidget* modal) { qobject_cast<QDialog*>(modal)->reject(); });
        QTest::mouseClick(button("browseButton"), Qt::LeftButton);
        QCOMPARE(controller->fileName(), path("chosen.dff"));
    }

    void startErrorsAndNextTrackRules()
    {
        QVERIFY(useDriver(kDriver, 44100));
        boxes.clear();
        controller->starts.clear();
        child<QLineEdit>("pathEdit")->clear();
        controller->setFileName(QString());
        answerBox(QMessageBox::Ok);
        window->onStartRec();
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].title, QStringLiteral("Start Error"));
        QCOMPARE(boxes[0].text, QStringLiteral("Please specify file first"));
        QVERIFY(boxes[0].lampIcon);
        QVERIFY(controller->starts.isEmpty());

        typePath(path("tracks.wav"));
        window->onNextTrack();
        QCOMPARE(controller->nextTracks, 0);  // not recording
        window->onStartRec();
        QVERIFY(controller->isRecording());
        QTest::qWait(50);  // some audio in the first track
        controller->forcedBytes = 512001;
        refresh();
        QVERIFY(!button("nextTrackButton")->isEnabled());
        window->onNextTrack();
        QCOMPARE(controller->nextTracks, 0);
        controller->forcedBytes = 512000;
        refresh();
        QVERIFY(button("nextTrackButton")->isEnabled());
        QTest::mouseClick(button("nextTrackButton"), Qt::LeftButton);
        QCOMPARE(controller->nextTracks, 1);
        controller->forcedBytes.reset();
        QTRY_VERIFY(controller->currentFileName() != path("tracks.wav"));
        refresh();
        QCOMPARE(child<QLineEdit>("pathEdit")->text(), controller->currentFileName());
        window->onStopRec();
        QVERIFY(waitIdle());
        refresh();
    }

    // ---- the destination: one trimmed name, checked once, a container that fits the data ----

    // recorded: the file written, or the reason in the box and the log when nothing may start.
    void destinations_data()
    {
        QTest::addColumn<double>("rate");
        QTest::addColumn<QString>("typed");     // %1: the test's folder
        QTest::addColumn<QString>("existing");  // an earlier take there, "" for none
        QTest::addColumn<QString>("recorded");
        QTest::addColumn<QString>("format");    // ffprobe's name; "" for a refusal
        QTest::addColumn<int>("tmpfsMiB");      // a file system of this size at %1/small
        QTest::newRow("PCM, typed .dsf") << 44100.0 << "%1/m1.dsf" << "" << "%1/m1.wav" << "wav" << 0;
        QTest::newRow("DSD, typed .wav") << 2822400.0 << "%1/m2.wav" << "" << "%1/m2.dff" << "iff" << 0;
        QTest::newRow("PCM, no extension") << 44100.0 << "%1/m3" << "" << "%1/m3.wav" << "wav" << 0;
        QTest::newRow("DSD, blank after .dsf") << 2822400.0 << "%1/sp.dsf " << "" << "%1/sp.dsf" << "dsf" << 0;
        QTest::newRow("PCM, blank-padded over a take")
            << 44100.0 << " %1/take.wav " << "take.wav" << "%1/take_0002.wav" << "wav" << 0;
        QTest::newRow("DSD, corrected onto a take, asked, not confirmed")
            << 2822400.0 << "%1/old.wav" << "old.dff" << "%1/old_0002.dff" << "iff" << 0;
        QTest::newRow("an existing folder") << 44100.0 << "%1/afolder" << "" << "'%1/afolder' is a folder, not a file" << "" << 0;
        QTest::newRow("only blanks") << 44100.0 << "   " << "" << "Please specify file first" << "" << 0;
        QTest::newRow("less than a minute of space")
            << 44100.0 << "%1/small/x.wav" << ""
            << "only 16.8 MB free for '%1/small/x.wav'; one minute of recording needs 21.2 MB" << "" << 16;
    }

    void destinations()
    {
        QFETCH(double, rate);
        QFETCH(QString, typed);
        QFETCH(QString, existing);
        QFETCH(QString, recorded);
        QFETCH(QString, format);
        QFETCH(int, tmpfsMiB);
        QVERIFY(useDriver(kDriver, rate));
        QVERIFY(QDir(dir.path()).mkpath("afolder"));
        if (tmpfsMiB > 0)
            mountTmpfs(path("small"), tmpfsMiB);
        const QByteArray earlierTake = "an earlier take";
        QFile take(path(existing));
        if (!existing.isEmpty()) {
            QVERIFY(take.open(QIODevice::WriteOnly));
            take.write(earlierTake);
            take.close();
        }
        recorded = recorded.arg(dir.path());
        boxes.clear();
        answerBox(format.isEmpty() ? QMessageBox::Ok : QMessageBox::No);
        typePath(typed.arg(dir.path()));
        QVERIFY(recordBrieflyByClicks());
        if (format.isEmpty()) {
            QCOMPARE(boxes.size(), 1);
            QCOMPARE(boxes[0].title, QStringLiteral("Start Error"));
            QCOMPARE(boxes[0].text, recorded);
            QTRY_VERIFY(window->logTable()->toText().contains("recording not started: " + recorded));
        } else {
            dropPendingAnswers();
            QCOMPARE(boxes.size(), existing.endsWith(".dff") ? 1 : 0);
            if (!boxes.isEmpty())
                QCOMPARE(boxes[0].text, QStringLiteral("Do you want to overwrite '%1'?").arg(path(existing)));
            QCOMPARE(child<QLineEdit>("pathEdit")->text(), recorded);
            const MediaInfo info = MediaProbe::probe(recorded);
            QCOMPARE(info.formatName, format);
            QVERIFY(info.duration > 0);
        }
        if (!existing.isEmpty()) {
            QVERIFY(take.open(QIODevice::ReadOnly));
            QCOMPARE(take.readAll(), earlierTake);
        }
    }

    // ---- free space ----

    // A disk with about 68 s of room at 44.1 kHz: the time left is shown, and the log warns
    // once on passing 10 minutes and once on passing 1 minute.
    void timeLeftAndDiskWarnings()
    {
        QVERIFY(useDriver(kDriver, 44100));
        mountTmpfs(path("tight"), 23);
        const QString warning = QStringLiteral("of recording time left on the disk of");
        const int before = window->logTable()->toText().count(warning);
        typePath(path("tight/t.wav"));
        QTest::mouseClick(button("recordButton"), Qt::LeftButton);
        refresh();
        QVERIFY2(QRegularExpression("^Halvik UI Driver - recording PCM  @44\\.1 kHz \\(0:01:0\\d left\\)$")
                     .match(status()).hasMatch(), qPrintable(status()));
        QTRY_COMPARE(window->logTable()->toText().count(warning), before + 1);
        // The test driver delivers audio faster than real time: the minute mark comes soon.
        QTRY_COMPARE_WITH_TIMEOUT(window->logTable()->toText().count(warning), before + 2, 15000);
        QTest::qWait(1500);
        QCOMPARE(window->logTable()->toText().count(warning), before + 2);
        window->onStopRec();
        QVERIFY(waitIdle());
    }

    // ---- unplugged during a recording ----

    // Back during a recording: the log says where and how long audio is missing, and the clock
    // shows the audio recorded (the test driver runs faster than real time, so wall-clock time
    // would differ by seconds). Gone for good: stop still ends the take, the settings dialog
    // keeps the device waited for, and the window closes.
    void unpluggedButInControl()
    {
        QVERIFY(useDriver(kDriver, 44100));
        typePath(path("gap.wav"));
        QTest::mouseClick(button("recordButton"), Qt::LeftButton);
        QTest::qWait(300);
        plugDevice(false);
        QTest::qWait(2200);
        plugDevice(true);
        QTest::qWait(300);
        plugDevice(false);
        QTest::qWait(1200);  // a failed attempt at least, which leaves the host no driver name
        refresh();
        QCOMPARE(status(), QStringLiteral("waiting for Halvik UI Driver (please check your USB connection)"));
        QTest::mouseClick(button("stopButton"), Qt::LeftButton);
        QVERIFY(waitIdle());
        const QRegularExpressionMatch gap = QRegularExpression("gap of (\\d+\\.\\d) s at 00:00:0\\d in gap\\.wav")
                                                .match(window->logTable()->toText());
        QVERIFY(gap.hasMatch());
        QVERIFY(gap.captured(1).toDouble() >= 2.0 && gap.captured(1).toDouble() < 5.0);
        const double duration = MediaProbe::probe(path("gap.wav")).duration;
        const QTime shown = QTime::fromString(child<QLabel>("timeLabel")->text(), "hh:mm:ss");
        QVERIFY2(std::abs(shown.msecsSinceStartOfDay() / 1000.0 - duration) < 1.0,
                 qPrintable(QString::number(duration)));

        answerModal([](QWidget* modal) {
            auto* dialog = qobject_cast<AsioConfigDialog*>(modal);
            QVERIFY(dialog);
            QCOMPARE(dialog->driver(), QString::fromLatin1(kDriver));
            dialog->accept();
        });
        window->onConfig();
        QVERIFY(controller->isReconnecting());
        QCOMPARE(controller->deviceName(), QString::fromLatin1(kDriver));
        QVERIFY(window->close());
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        plugDevice(true);
    }

    void settingsDialog()
    {
        typePath(path("config.dff"));
        controller->reinits.clear();
        // Cancel: nothing but the paused reconnection.
        answerModal([](QWidget* modal) {
            auto* dialog = qobject_cast<AsioConfigDialog*>(modal);
            QVERIFY(dialog);
            QCOMPARE(dialog->windowTitle(), QStringLiteral("Config Dialog - Software version 1.3"));
            QCOMPARE(dialog->driver(), QString::fromLatin1(kDriver));
            QCOMPARE(dialog->sampleRate(), 44100);
            QCOMPARE(dialog->dsdDefault(), QStringLiteral("dff"));
            dialog->reject();
        });
        window->onConfig();
        QVERIFY(controller->reinits.isEmpty());
        QVERIFY(!controller->isReconnecting());
        QCOMPARE(controller->fileName(), path("config.dff"));

        // OK after choosing DSD 1x and dsf: re-initialised, destination renamed, overwrite asked.
        QFile existing(path("config.dsf"));
        QVERIFY(existing.open(QIODevice::WriteOnly));
        existing.close();
        boxes.clear();
        answerModal([this](QWidget* modal) {
            auto* dialog = qobject_cast<AsioConfigDialog*>(modal);
            QVERIFY(dialog);
            dialog->setSampleRate(2822400);
            dialog->setDsdDefault(QStringLiteral("dsf"));
            answerBox(QMessageBox::Yes);
            dialog->accept();
        });
        window->onConfig();
        QCOMPARE(controller->reinits, QStringList({QStringLiteral("Halvik UI Driver 2822400 0")}));
        QCOMPARE(controller->sampleRate(), 2822400.0);
        QCOMPARE(controller->fileName(), path("config.dsf"));
        QCOMPARE(child<QLineEdit>("pathEdit")->text(), path("config.dsf"));
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].title, QStringLiteral("Confirm Overwrite"));
        QCOMPARE(boxes[0].text, QStringLiteral("Do you want to overwrite '%1'?").arg(path("config.dsf")));
        QCOMPARE(window->windowTitle(), QStringLiteral("Veloran - Halvik UI Driver  @2822.4 kHz"));

        // OK with nothing changed still re-initialises and re-applies the split size unchanged.
        controller->setAutoSplitSize(512LL << 20);
        answerModal([](QWidget* modal) { qobject_cast<QDialog*>(modal)->accept(); });
        window->onConfig();
        QCOMPARE(controller->reinits.size(), 2);
        QCOMPARE(controller->autoSplitSize(), 512LL << 20);
        QVERIFY(useDriver(kDriver, 44100));
    }

    void closeGuard()
    {
        boxes.clear();
        window->logWindow()->show();
        controller->forcedRecording = true;
        answerBox(QMessageBox::Ok);
        QVERIFY(!window->close());
        QVERIFY(window->isVisible());
        QVERIFY(!window->logWindow()->isVisible());
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].title, QStringLiteral("Warning"));
        QCOMPARE(boxes[0].text, QStringLiteral("Please stop recording first."));
        QVERIFY(boxes[0].lampIcon);
        controller->forcedRecording.reset();

        controller->forcedBytes = 4096;
        answerModal([](QWidget* modal) { QTest::keyClick(modal, Qt::Key_Escape); });
        QVERIFY(!window->close());
        QVERIFY(window->isVisible());
        QCOMPARE(boxes.last().title, QStringLiteral("Storing in progress"));
        QCOMPARE(boxes.last().text, QStringLiteral("We are still saving your precious audio "
                                                   "data.\nDo you still want to quit?"));
        answerBox(QMessageBox::No);
        QVERIFY(!window->close());
        answerBox(QMessageBox::Yes);
        QVERIFY(window->close());
        QVERIFY(!window->isVisible());
        window->show();

        controller->forcedBytes = 0;
        const int seen = boxes.size();
        QVERIFY(window->close());
        QCOMPARE(boxes.size(), seen);
        controller->forcedBytes.reset();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
    }

    void draggingAndRoundedShape()
    {
        window->move(100, 100);
        QTRY_COMPARE(window->frameGeometry().topLeft(), QPoint(100, 100));
        QWidget* central = window->centralWidget();
        const QPoint start = window->frameGeometry().topLeft() + QPoint(5, 50);
        QMouseEvent press(QEvent::MouseButtonPress, central->mapFromGlobal(start), start,
                          Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(central, &press);
        QCOMPARE(window->cursor().shape(), Qt::SizeAllCursor);
        const QPoint to = start + QPoint(30, 20);
        QMouseEvent move(QEvent::MouseMove, central->mapFromGlobal(to), to, Qt::NoButton,
                         Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window, &move);
        QTRY_COMPARE(window->frameGeometry().topLeft(), QPoint(130, 120));
        QMouseEvent release(QEvent::MouseButtonRelease, central->mapFromGlobal(to), to,
                            Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(window, &release);
        QCOMPARE(window->cursor().shape(), Qt::ArrowCursor);
        // After the release the mouse moves the window no more.
        QMouseEvent later(QEvent::MouseMove, QPoint(1, 1), to + QPoint(50, 50), Qt::NoButton,
                          Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(window, &later);
        QCOMPARE(window->frameGeometry().topLeft(), QPoint(130, 120));
        // A press on a button does not start a drag.
        QTest::mousePress(button("settingsButton"), Qt::LeftButton);
        QCOMPARE(window->cursor().shape(), Qt::ArrowCursor);
        QTest::mouseRelease(button("settingsButton"), Qt::LeftButton, {}, QPoint(-5, -5));

        const QSize least = window->minimumSizeHint().expandedTo(QSize(600, 100));
        for (const QSize size : {least, least + QSize(120, 40)}) {
            window->resize(size);
            QTRY_COMPARE(window->size(), size);
            const QRegion mask = window->mask();
            QCOMPARE(mask.boundingRect().size(), size);
            QVERIFY(!mask.contains(QPoint(0, 0)));
            QVERIFY(!mask.contains(QPoint(size.width() - 1, size.height() - 1)));
            QVERIFY(mask.contains(QPoint(size.width() / 2, size.height() / 2)));
            QVERIFY(mask.contains(QPoint(size.width() / 2, 1)));
        }
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
