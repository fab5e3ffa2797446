// The main window driven through its real widgets on the offscreen platform, with a real
// controller and the scriptable test driver behind it, and the settings dialog and the level
// meters it holds. The cases run in order on one window. The recording of the simulated tone
// by clicks is tested on the real program, in the start-up tests.
#include "asioconfigdialog.h"
#include "asiocontroller.h"
#include "asiodrivers.h"
#include "asiohoststate.h"
#include "audiofilewriter.h"
#include "capturesettings.h"
#include "ctrlsplitsizeadjuster.h"
#include "driversession.h"
#include "levelmeterwidget.h"
#include "logwidget.h"
#include "mainwindow.h"
#include "mediaprobe.h"
#include "partitionmanager.h"
#include "testdriver.h"

#include <QtTest>
#include <QtWidgets>
#include <cmath>
#include <functional>
#include <memory>
#include <optional>

namespace {
const QString kDriver = "Halvik UI Driver";
const qint32 kMax = 0x7fffffff, kMin = -kMax - 1;
#define VERIFY_MATCH(text, pattern)                                                                \
    QVERIFY2(QRegularExpression(pattern).match(text).hasMatch(), qPrintable(text))

// The real controller, with the commands the window gives recorded on the way through and
// the queries that depend on the disk's speed and on a recording settable.
class ProbeController : public AsioController
{
public:
    using AsioController::AsioController;
    QStringList
        commands; // "start 1" (with consent to overwrite), "next", "reinit <driver> <rate> 0"
    std::optional<qint64> forcedBytes;
    std::optional<bool> forcedRecording;
    std::optional<QString> forcedFailure;

    bool startRecording(bool overwrite) override
    {
        commands << QString("start %1").arg(overwrite);
        return AsioController::startRecording(overwrite);
    }
    void recordNextTrack() override
    {
        commands << "next";
        AsioController::recordNextTrack();
    }
    void reinitializeDriver(QString name, double rate, bool onlyIfChanged) override
    {
        commands << QString("reinit %1 %2 %3").arg(name).arg(rate, 0, 'f', 0).arg(onlyIfChanged);
        AsioController::reinitializeDriver(name, rate, onlyIfChanged);
    }
    qint64 bufferedBytes() const override
    {
        return forcedBytes.value_or(AsioController::bufferedBytes());
    }
    bool isRecording() const override
    {
        return forcedRecording.value_or(AsioController::isRecording());
    }
    QString failureText() const override
    {
        return forcedFailure.value_or(AsioController::failureText());
    }
};
} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    ProbeController* controller = nullptr;
    MainWindow* window = nullptr;
    std::unique_ptr<CtrlSplitSizeAdjuster> adjuster;
    QList<std::function<void(QWidget*)>> answers; // for the next modal widgets, in turn
    QStringList boxes; // "title: text" of each box answered, "[lamp] " first where it shows ours
    QStringList unexpected; // modal widgets that stayed up with no answer for them
    int modalTicks = 0;
    QString settingsShown;
    QStringList mounts;

    // Every 20 ms: the next answer takes a modal widget that is up. One left unanswered for
    // 2 s was not expected by the test step: it is recorded and closed, so the step fails
    // instead of hanging.
    void answerModals()
    {
        QWidget* modal = QApplication::activeModalWidget();
        modalTicks = modal ? modalTicks + 1 : 0;
        if (!modal || (answers.isEmpty() && modalTicks < 100))
            return;
        auto* box = qobject_cast<QMessageBox*>(modal);
        const bool lamp = box && box->icon() == QMessageBox::NoIcon && !box->iconPixmap().isNull();
        const QString seen =
            (lamp ? "[lamp] " : "") + modal->windowTitle() + (box ? ": " + box->text() : "");
        if (answers.isEmpty()) {
            unexpected << seen;
            modal->close();
            return;
        }
        if (box)
            boxes << seen;
        answers.takeFirst()(modal);
    }
    void answerBox(QMessageBox::StandardButton answer)
    {
        answers << [answer](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            box && box->button(answer) ? box->button(answer)->click() : void(modal->close());
        };
    }
    void answerKey(Qt::Key key)
    {
        answers << [key](QWidget* modal) { QTest::keyClick(modal, key); };
    }
    // Opens the settings dialog: what it came up with is noted in settingsShown ("driver rate
    // type"), `change` may set its choices (and queue answers for what follows), then a click on
    // OK or Cancel.
    void configure(bool ok, std::function<void(AsioConfigDialog*)> change = {})
    {
        answers << [this, ok, change](QWidget* modal) {
            auto* d = qobject_cast<AsioConfigDialog*>(modal);
            QVERIFY(d);
            settingsShown =
                QString("%1 %2 %3").arg(d->driver()).arg(d->sampleRate()).arg(d->dsdDefault());
            if (change)
                change(d);
            for (QPushButton* b : d->findChildren<QPushButton*>())
                if (b->text() == (ok ? "OK" : "Cancel"))
                    QTest::mouseClick(b, Qt::LeftButton);
        };
        window->onConfig();
    }

    template <typename T> T* child(const char* name) const { return window->findChild<T*>(name); }
    QPushButton* button(const char* name) const { return child<QPushButton>(name); }
    void click(const char* name) const { QTest::mouseClick(button(name), Qt::LeftButton); }
    // The status area's lines that hold a text, " / " between them.
    QString status() const
    {
        QStringList lines;
        for (const char* name : {"statusLine", "noteLine", "reasonLine"})
            if (!child<QLineEdit>(name)->text().isEmpty())
                lines << child<QLineEdit>(name)->text();
        return lines.join(" / ");
    }
    QString clock() const { return child<QLabel>("timeLabel")->text(); }
    QString shownPath() const { return child<QLineEdit>("pathEdit")->text(); }
    QString logText() const { return window->logTable()->toText(); }
    QString path(const QString& name) const { return dir.filePath(name); }
    // Which of record, stop, next track, settings and browse are enabled, then the button the
    // stack shows (0 record, 1 next track) and whether the destination is (w)ritable: "10011 0w".
    QString controls() const
    {
        QString flags;
        for (const char* name :
             {"recordButton", "stopButton", "nextTrackButton", "settingsButton", "browseButton"})
            flags += button(name)->isEnabled() ? '1' : '0';
        return flags + ' ' + QString::number(child<QStackedWidget>("stack")->currentIndex()) +
               (child<QLineEdit>("pathEdit")->isReadOnly() ? 'r' : 'w');
    }
    // The status line and the controls: "status | 10011 0w".
    QString shown() const { return status() + " | " + controls(); }
    // The path the field shows and the controller's file name: "shown | used".
    QString destination() const { return shownPath() + " | " + controller->fileName(); }
    void refresh() { window->onTimer(); }
    void typePath(const QString& text)
    {
        child<QLineEdit>("pathEdit")->clear();
        QTest::keyClicks(child<QLineEdit>("pathEdit"), text);
    }
    // A small file system of its own; only root may mount one.
    bool mountTmpfs(const QString& where, int mib)
    {
        mounts << where;
        const QStringList options{"-t",    "tmpfs", "-o", QString("size=%1m").arg(mib),
                                  "tmpfs", where};
        return QDir().mkpath(where) && QProcess::execute("mount", options) == 0;
    }
    // Browses with the button and types the name into the file dialog's own field, as a user
    // does; returns the file and the filter the dialog offered.
    QStringList browseTo(const QString& name)
    {
        QStringList offered;
        answers << [&](QWidget* modal) {
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            QVERIFY(dialog);
            offered << dialog->selectedFiles().value(0) << dialog->nameFilters().join(";");
            dialog->findChild<QLineEdit*>("fileNameEdit")->setText(name);
            static_cast<QDialog*>(dialog)->accept();
        };
        click("browseButton");
        return offered;
    }
    bool useDriver(double rate)
    {
        const bool ready = controller->initializeDriver(kDriver, rate);
        refresh();
        return ready;
    }
    bool waitIdle()
    {
        return QTest::qWaitFor([this] { return controller->isIdle(); }, 10000);
    }
    // Record, a moment, stop, with the buttons; true once the recorder is idle again.
    bool recordBrieflyByClicks()
    {
        click("recordButton");
        QTest::qWait(200);
        click("stopButton");
        const bool idle = waitIdle();
        refresh();
        return idle;
    }

private slots:
    void initTestCase()
    {
        auto* poll = new QTimer(this);
        connect(poll, &QTimer::timeout, this, &TestMainWindow::answerModals);
        poll->start(20);
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
        // Listed before ours, so the settings dialog has to be told which driver is in use.
        TestDriver::registerDriver("Halvik Another Driver");
        TestDriverScript script;
        script.driverName = kDriver.toLatin1();
        script.threadPeriodMs = 5;
        TestDriver::registerDriver(kDriver, script);
        AsioHostState* host = AsioHostState::instance();
        QSharedPointer<PartitionManager> pool(new PartitionManager(64u << 20));
        QSharedPointer<AudioFileWriter> writer(new AudioFileWriter(pool));
        controller = new ProbeController(host, QSharedPointer<AsioDrivers>(new AsioDrivers), pool,
                                         writer, this);
        writer->setParent(controller);
        host->setBufferProcessor(controller);
        controller->scanDrivers();
        controller->scanSamplingRate();
        adjuster = std::make_unique<CtrlSplitSizeAdjuster>(controller);
        window = new MainWindow(controller, adjuster.get(), path("start.dsf"), "dff");
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
    }
    void cleanup()
    {
        answers.clear();
        boxes.clear();
        controller->commands.clear();
        const QString forgotten = std::exchange(unexpected, {}).join("; ");
        QVERIFY2(forgotten.isEmpty(), qPrintable(forgotten));
    }
    void cleanupTestCase()
    {
        controller->unloadCurrentDriver();
        delete window;
        for (const QString& where : qAsConst(mounts))
            QProcess::execute("umount", {where});
    }

    // Without a driver the window's refreshes change nothing. Ctrl+L shows and hides the
    // floating log; F5 asks the driver again without re-creating its buffers. Corners are cut
    // off at every size. Then the status texts and the title at each rate.
    void withoutDriverThenShortcutsShapeAndStatus()
    {
        QTest::qWait(250); // a few refreshes of the window's own timer
        QCOMPARE(QStringList({status(), clock(), window->windowTitle()}),
                 QStringList(
                     {"No ASIO Driver found in your system", "--:--:--", "Veloran -   @0.0 kHz"}));

        QVERIFY(useDriver(44100));
        QDockWidget* log = window->logWindow();
        QVERIFY(log->isFloating() && !log->isVisible());
        window->activateWindow();
        QTRY_VERIFY(window->isActiveWindow());
        for (const bool shown : {true, false}) {
            QTest::keyClick(window, Qt::Key_L, Qt::ControlModifier);
            QVERIFY(log->isVisible() == shown && log->isFloating());
        }
        const int before = TestDriver::calls(kDriver).size();
        QTest::keyClick(window, Qt::Key_F5);
        const QStringList calls = TestDriver::calls(kDriver).mid(before);
        QVERIFY(!calls.isEmpty() && !calls.contains("createBuffers") &&
                controller->commands.isEmpty());

        const QSize least = window->minimumSizeHint().expandedTo(QSize(600, 100));
        for (const QSize size : {least + QSize(120, 40), least}) {
            window->resize(size);
            QTRY_COMPARE(window->size(), size);
            const QRegion mask = window->mask();
            const int w = size.width(), h = size.height();
            QCOMPARE(mask.boundingRect().size(), size);
            QVERIFY(!mask.contains(QPoint(0, 0)) && !mask.contains(QPoint(w - 1, h - 1)));
            QVERIFY(mask.contains(QPoint(w / 2, h / 2)) && mask.contains(QPoint(w / 2, 1)));
        }

        refresh();
        QCOMPARE(shown(), QString("Halvik UI Driver - stopped PCM  @44.1 kHz | 10011 0w"));
        QVERIFY(useDriver(5644800));
        QCOMPARE(status() + " | " + window->windowTitle(),
                 QString("Halvik UI Driver - stopped DSD 2x  @DSD 2x (5644.8 kHz) | Veloran - "
                         "Halvik UI Driver  @5644.8 kHz"));
        QVERIFY(useDriver(44100));
    }

    // Every line of the status area shows its whole text in every state, at the narrowest
    // window: nothing elided, and the text ends inside the line.
    void statusFitsAtEveryRateAndState_data()
    {
        QTest::addColumn<double>("rate");
        QTest::addColumn<bool>("recording");
        QTest::addColumn<qint64>("buffered");
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QString>("expected"); // the lines, " / " between them
        const QString left = "\\(\\d+:\\d\\d:\\d\\d left\\)";
        // clang-format off
        QTest::newRow("44.1 kHz, recording, slow drive") << 44100.0 << true << qint64(3 << 20) << ""
            << "Halvik UI Driver - recording PCM  @44\\.1 kHz / " + left + " \\(slow drive! using 3\\.0 MB RAM\\)";
        QTest::newRow("DSD 4x, recording, slow drive") << 11289600.0 << true << qint64(4095LL << 20) << ""
            << "Halvik UI Driver - recording DSD 4x  @DSD 4x \\(11289\\.6 kHz\\) / " + left
               + " \\(slow drive! using 4095\\.0 MB RAM\\)";
        QTest::newRow("DSD 4x, RAM buffer full, writing on") << 11289600.0 << false << qint64(250LL << 20)
            << "RAM buffer full (the disk is too slow)"
            << "Halvik UI Driver - stopped DSD 4x  @DSD 4x \\(11289\\.6 kHz\\) / \\(slow drive! using 250\\.0 MB RAM\\) / "
               "recording stopped: RAM buffer full \\(the disk is too slow\\)";
        QTest::newRow("DSD 2x, disk full") << 5644800.0 << false << qint64(0) << "No space left on device"
            << "Halvik UI Driver - stopped DSD 2x  @DSD 2x \\(5644\\.8 kHz\\) / recording stopped: No space left on device";
        // clang-format on
    }
    void statusFitsAtEveryRateAndState()
    {
        QFETCH(double, rate);
        QFETCH(bool, recording);
        QFETCH(qint64, buffered);
        QFETCH(QString, failure);
        QFETCH(QString, expected);
        const QSize least = window->minimumSizeHint().expandedTo(QSize(600, 100));
        window->resize(least);
        QTRY_COMPARE(window->size(), least);
        QVERIFY(useDriver(rate));
        if (recording) {
            typePath(path("fit"));
            click("recordButton");
            QVERIFY(controller->isRecording());
        }
        controller->forcedBytes = buffered;
        if (!failure.isEmpty())
            controller->forcedFailure = failure;
        refresh();
        VERIFY_MATCH(status(), "^" + expected + "$");
        for (const char* name : {"statusLine", "noteLine", "reasonLine", "fileLine"}) {
            auto* line = child<QLineEdit>(name);
            const int start =
                line->inputMethodQuery(Qt::ImCursorRectangle).toRect().left(); // the cursor is at 0
            const int end = start + QFontMetrics(line->font()).horizontalAdvance(line->text());
            QVERIFY2(line->text() == line->toolTip() && end <= line->contentsRect().right(),
                     qPrintable(QString("%1: '%2' ends at %3 of %4")
                                    .arg(name, line->toolTip())
                                    .arg(end)
                                    .arg(line->contentsRect().right())));
        }
        controller->forcedBytes.reset();
        controller->forcedFailure.reset();
        window->onStopRec();
        QVERIFY(waitIdle() && useDriver(44100));
    }

    // The meters, fed as the driver would. The bar falls 20 dB in 1.7 s after an instant rise;
    // the mark holds the peak for 2 s, then follows. The test refreshes the display itself,
    // with no event loop in between, so the display's own clock reading lies between the test's
    // readings around the refresh.
    void levelMeters()
    {
        // The test is the meters' only feeder: a streaming driver would feed them at the same
        // time from its thread, a race that also overwrote the test's levels.
        QVERIFY(controller->driverSession().stopStreaming());
        auto* meters = child<LevelMeterWidget>("levelMeters");
        // Feeds the words and refreshes the display.
        auto feed = [this, meters](int input, QVector<qint32> words) {
            controller->levelMeter(input).process(reinterpret_cast<unsigned char*>(words.data()),
                                                  ASIOSTInt32LSB, words.size());
            meters->refresh();
        };
        QElapsedTimer clock;
        clock.start();
        const qint64 rise0 = clock.elapsed();
        feed(0, {0, kMax, 0});
        // Read before the next refresh, which lets the bar fall for the time between the two.
        const double risen = meters->barDb(0);
        feed(1, {0, 1 << 30, 0});
        const qint64 rise1 = clock.elapsed();
        QVERIFY2(risen > -0.01 && meters->toolTip().contains("right: -6.0 dBFS"),
                 qPrintable(QString("%1 dB; %2").arg(risen).arg(meters->toolTip())));
        QThread::msleep(1750);
        const qint64 fall0 = clock.elapsed();
        meters->refresh();
        const qint64 fall1 = clock.elapsed();
        const double fallen = -meters->barDb(0), perMs = 20.0 / 1.7 / 1000;
        QVERIFY2(fallen > perMs * (fall0 - rise1) - 0.02 && fallen < perMs * (fall1 - rise0) + 0.02,
                 qPrintable(QString("%1 dB in %2 ms").arg(fallen).arg(fall0 - rise1)));
        if (fall1 - rise0 < 2000) // else the machine stalled: the hold may have ended
            QVERIFY2(meters->holdDb(0) > -0.01, qPrintable(QString::number(meters->holdDb(0))));
        while (clock.elapsed() - rise1 <= 2000)
            QThread::msleep(50);
        meters->refresh();
        QVERIFY(meters->barDb(0) < -20 && meters->holdDb(0) == meters->barDb(0));

        // A lamp lights on two full-scale words in a row, on its own input only, and only a
        // click on it puts it out.
        const struct
        {
            int input;
            QVector<qint32> words;
            bool lit;
        } clips[] = {
            {0, {5, kMax, kMax, 5}, true}, {1, {kMin, kMin}, true}, {0, {kMax, 0, kMin}, false}};
        for (const auto& [input, words, lit] : clips) {
            feed(input, words);
            QVERIFY(meters->isClipLit(input) == lit && !meters->isClipLit(1 - input));
            QTest::mouseClick(meters, Qt::LeftButton, Qt::NoModifier,
                              meters->lampRect(1 - input).center());
            QCOMPARE(meters->isClipLit(input), lit);
            QTest::mouseClick(meters, Qt::LeftButton, Qt::NoModifier,
                              meters->lampRect(input).center());
            QVERIFY(!meters->isClipLit(input));
        }

        // A new recording clears the lamps and counts dropouts; another driver clears everything,
        // else the old driver's peak would take seconds to fall out of sight.
        feed(0, {kMax, kMax});
        feed(1, {kMin, kMin});
        QVERIFY(meters->isClipLit(0) && meters->isClipLit(1));
        controller->setFileName(path("meters.wav"));
        QVERIFY(controller->startRecording(true));
        meters->refresh();
        QVERIFY(!meters->isClipLit(0) && !meters->isClipLit(1) &&
                !meters->toolTip().contains("dropout"));
        // The take counts its own: a run of clipped looks is one clip; full scale reads 0.0.
        QVERIFY(std::isinf(meters->takePeakDb(0)) && meters->clipCount(0) == 0);
        for (const QVector<qint32>& words :
             {QVector<qint32>{kMax, kMax}, {kMax, kMax}, {1 << 29}, {kMax, kMax}})
            feed(0, words);
        const auto tipAt = [meters](const QRect& r) { return meters->toolTipAt(r.center()); };
        QVERIFY2(QRegularExpression("^left: 2 clips in the take, the last at 00:00:0\\d\\.\\d$")
                     .match(tipAt(meters->lampRect(0)))
                     .hasMatch(),
                 qPrintable(tipAt(meters->lampRect(0))));
        QCOMPARE(tipAt(meters->takePeakRect(0)),
                 QString("left: highest peak of the take 0.0 dBFS (a click starts afresh)"));
        QVERIFY(meters->toolTip().startsWith("left: 0.0 dBFS") && meters->clipCount(1) == 0);
        for (int i = 0; i < 3; ++i)
            controller->driverResyncRequested();
        QTRY_VERIFY(meters->toolTip().contains("3 dropouts"));
        controller->stopRecording();
        QVERIFY(waitIdle());
        // After the take its numbers stand, until a click starts the peak afresh.
        feed(1, {kMin, kMin});
        QVERIFY(meters->barDb(1) > -0.1 && meters->isClipLit(1));
        QVERIFY(std::isinf(meters->takePeakDb(1)) && meters->clipCount(1) == 0 &&
                meters->clipCount(0) == 2);
        QTest::mouseClick(meters, Qt::LeftButton, Qt::NoModifier, meters->takePeakRect(1).center());
        feed(1, {-2137616000}); // -0.04 dBFS, never to read -0.0
        QCOMPARE(tipAt(meters->takePeakRect(1)),
                 QString("right: highest peak of the take 0.0 dBFS (a click starts afresh)"));
        QCOMPARE(tipAt(meters->lampRect(1)), QString("right: no clips in the take"));
        QVERIFY(useDriver(48000));
        QTRY_VERIFY(std::isinf(meters->barDb(1)));
        QVERIFY(std::isinf(meters->holdDb(1)) && !meters->isClipLit(1) && useDriver(44100));
    }

    // The settings dialog on its own: every choice's items with their data, setters that match
    // exactly or leave nothing chosen, split sizes that survive the round trip through the
    // window, and the texts the user reads.
    void settingsDialogChoicesAndTexts()
    {
        AsioConfigDialog dialog({44100.7, 192000, 2822399, 5644800, 11289600},
                                {"Card A", "Card B"});
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        auto box = [&](const char* name) { return dialog.findChild<QComboBox*>(name); };
        QStringList all; // "text=data" where an item carries data
        for (const char* name :
             {"driverChoice", "rateChoice", "autoSplitChoice", "monitoringChoice", "dsdChoice"}) {
            QStringList texts;
            for (int i = 0; i < box(name)->count(); ++i) {
                const QVariant data = box(name)->itemData(i);
                texts << box(name)->itemText(i) + (data.isValid() ? '=' + data.toString() : "");
            }
            all << texts.join(", ");
        }
        dialog.setInputCount(5); // pairs only: input 5 alone is not offered
        QStringList pairs;
        for (int i = 0; i < box("inputsChoice")->count(); ++i)
            pairs << box("inputsChoice")->itemText(i) + '=' +
                         box("inputsChoice")->itemData(i).toString();
        for (int pair : {2, 3, 1}) {
            dialog.setInputPair(pair);
            pairs << QString::number(dialog.inputPair());
        }
        dialog.setInputCount(0); // a device not read yet: the first pair
        pairs << QString::number(dialog.inputPair());
        QCOMPARE(pairs.join(' '), QString("1–2=1 3–4=2 2 1 1 1"));
        QCOMPARE(all, QStringList(
                          {"Card A, Card B",
                           "44.1 kHz=44100.7, 192.0 kHz=192000, 2822.4 kHz=2822399, "
                           "DSD 2x (5644.8 kHz)=5644800, DSD 4x (11289.6 kHz)=11289600",
                           "Disabled=-1, 256 MB=256, 512 MB=512, 1 GB=1024, 2 GB=2048, 3.9 GB=3900",
                           "Disabled, Enabled", "dff, dsf"}));

        QTest::keyClick(box("rateChoice"), Qt::Key_Home);
        dialog.setAsioMonitoring(true);
        QVERIFY(dialog.sampleRate() == 44100 &&
                dialog.asioMonitoring()); // the rate truncated from 44100.7
        QTest::keyClick(box("monitoringChoice"), Qt::Key_Up);
        QVERIFY(!dialog.asioMonitoring());
        dialog.setSampleRate(192000.04); // the same text as 192000
        QCOMPARE(dialog.sampleRate(), 192000);
        dialog.setSampleRate(48000);
        QCOMPARE(dialog.sampleRate(), 0);
        for (const char* near : {"card b", "Card", "Card B "}) {
            dialog.setDriver(near);
            QCOMPARE(dialog.driver(), QString());
        }

        // Sizes that no item stands for (value 0) leave none chosen.
        const QList<QPair<int, qint64>> items{
            {-1, -1},           {256, 268435456},   {512, 536870912},
            {1024, 1073741824}, {2048, 2147483648}, {3900, 4089446400},
            {0, 1000000000},    {0, -1048576},      {0, 0}};
        for (const auto& [value, bytes] : items) {
            QVERIFY(value == 0 || AsioConfigDialog::autoSplitBytes(value) == bytes);
            dialog.setAutoSplitAt(bytes);
            QCOMPARE(dialog.autoSplitAt(), value);
        }

        // The auto-split pair is built but not shown.
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Config Dialog - Software version 1.3"));
        QStringList headings, fields;
        for (QLabel* label : dialog.findChildren<QLabel*>())
            (label->alignment() == Qt::AlignCenter ? headings : fields)
                << (label->isVisible() ? label->text() : '(' + label->text() + ')');
        QCOMPARE(headings, QStringList({"Input Device Options", "File Options",
                                        "Monitoring Options", "Capture"}));
        fields.sort();
        QCOMPARE(fields,
                 QStringList({"(Auto-Split at)", "Default DSD", "Direct through A/D",
                              "Input Device", "Inputs", "Min. track", "Pre-record", "Sampling Rate",
                              "Silence level", "Split after", "Start level", "Stop after"}));

        // The capture choices say what a 0 means, give back what they were set to, and take a
        // typed level or "off".
        const auto captureShown = [&] {
            QStringList shown;
            for (const CaptureSettings::Field& f : CaptureSettings::fields())
                shown << dialog.findChild<QDoubleSpinBox*>(QString("capture_") + f.key)->text();
            return shown.join(", ");
        };
        QCOMPARE(captureShown(), QString("off, off, -60.0 dB, off, off, 10.0 s"));
        CaptureSettings chosen;
        chosen.preRecordSeconds = 2.5;
        chosen.startLevelDb = -40;
        chosen.splitOnSilenceSeconds = 3;
        chosen.minTrackSeconds = 0;
        dialog.setCaptureSettings(chosen);
        QCOMPARE(captureShown(), QString("2.5 s, -40.0 dB, -60.0 dB, off, 3.0 s, none"));
        QVERIFY(dialog.captureSettings() == chosen);
        auto* start = dialog.findChild<QDoubleSpinBox*>("capture_start_level_db");
        for (const auto& [typed, level] :
             {std::pair<QString, double>{"-35.5", -35.5}, {"off", 0.0}, {"-121", -12.0}}) {
            start->selectAll();
            QTest::keyClicks(start, typed);
            QTest::keyClick(start, Qt::Key_Enter);
            QCOMPARE(dialog.captureSettings().startLevelDb, level);
        }
    }

    // A start level set in the settings dialog: the record button arms, and the status line
    // says for which level; silence keeps it armed, the first loud buffer starts the recording
    // with that buffer, stop ends it; armed again, stop disarms and leaves no file. The buffers
    // come from the test, as the driver thread would deliver them.
    void armTriggerStop_data()
    {
        QTest::addColumn<double>("rate");
        QTest::addColumn<QString>("name");
        QTest::newRow("PCM") << 44100.0 << "armed-pcm.wav";
        QTest::newRow("DSD") << 2822400.0 << "armed-dsd.dff";
    }
    void armTriggerStop()
    {
        QFETCH(double, rate);
        QFETCH(QString, name);
        const bool dsd = rate >= 2822400;
        const TestDriverScript script = TestDriver::script(kDriver);
        TestDriverScript longer = script; // DSD: the meter's filter settles within a buffer
        longer.preferredBufferSize = 4096;
        TestDriver::setScript(kDriver, longer);
        const auto restore = qScopeGuard([&] {
            controller->stopRecording();
            controller->setCaptureSettings(CaptureSettings());
            TestDriver::setScript(kDriver, script);
            useDriver(44100); // streaming again, as the cases after this one expect
        });
        QVERIFY(useDriver(rate));
        configure(true, [](AsioConfigDialog* d) {
            CaptureSettings armed;
            armed.startLevelDb = -40;
            d->setCaptureSettings(armed);
        });
        QVERIFY(controller->driverSession().stopStreaming()); // the test feeds the buffers
        const long size = controller->bufferSize();
        const int bytes = dsd ? int(size / 8) : int(size * 4);
        QByteArray silent(bytes, dsd ? '\x69' : '\0'), loud(bytes, '\0');
        for (int i = 0; i < bytes; ++i) // PCM: 2^28 in every word, -18 dBFS; DSD: +6 dB
            loud[i] = dsd || i % 4 == 3 ? (dsd ? '\xff' : '\x10') : '\0';
        int fed = 0;
        const auto feed = [&](const QByteArray& block, int frames) {
            for (int i = 0; i < frames; ++i, ++fed)
                for (long channel : {0L, 1L})
                    controller->processBuffer(reinterpret_cast<uchar*>(QByteArray(block).data()),
                                              channel, dsd ? ASIOSTDSDInt8MSB1 : ASIOSTInt32LSB,
                                              size, fed % 2);
        };
        typePath(path(name));
        const QString device = "Halvik UI Driver - ";
        for (const bool trigger : {true, false}) {
            // The meter's filter forgets what came before: the test driver's own buffers, zero
            // bytes (DSD's lowest level), and the loud buffers of the first take.
            feed(silent, 5);
            click("recordButton");
            QCOMPARE(shown(), device + "armed: waiting for a signal above \u2212"
                                       "40 dB | 01000 0r");
            feed(silent, 20);
            QTest::qWait(150);
            refresh();
            QVERIFY(controller->isArmed() && !controller->isRecording());
            if (trigger) {
                feed(loud, 10);
                QTRY_VERIFY(controller->isRecording());
                feed(loud, 5);
                refresh();
                QVERIFY2(status().startsWith(device + "recording "), qPrintable(status()));
                QCOMPARE(controls(), QString("01100 1r"));
            }
            click("stopButton");
            QVERIFY(waitIdle());
            refresh();
            VERIFY_MATCH(status(), "^" + device + "stopped ");
            QCOMPARE(controls(), QString("10011 0w"));
        }
        QVERIFY(logText().contains("disarmed"));
        // The take holds the fifteen loud buffers from the first on, and nothing else.
        QCOMPARE(QDir(dir.path()).entryList({name.left(9) + "*"}), QStringList{name});
        const double seconds = 15.0 * size / rate;
        const MediaInfo info = MediaProbe::probe(path(name));
        QVERIFY2(std::abs(info.duration - seconds) < 0.0005,
                 qPrintable(QString("%1 s, not %2").arg(info.duration).arg(seconds)));
        QFile file(path(name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray data = file.readAll();
        const QByteArray interleaved = dsd ? QByteArray(2 * bytes, '\xff') : loud + loud;
        QVERIFY(data.endsWith(interleaved.repeated(15)) &&
                !data.endsWith(silent.right(8) + interleaved.repeated(15)));
    }

    // One recording of a typed name: the controls and the next-track rules on the way; then
    // browsed names, each covering exactly one start.
    void typedRecordingNextTrackAndBrowsedNames()
    {
        typePath(path("typed.wav"));
        window->onNextTrack(); // not recording: nothing
        click("recordButton");
        controller->forcedBytes = 512000; // the most the drive may lag behind for a next track
        refresh();
        VERIFY_MATCH(
            shown(),
            "^Halvik UI Driver - recording PCM  @44\\.1 kHz / \\(\\d+:\\d\\d:\\d\\d left\\) "
            "\\| 01100 1r$");
        QTRY_VERIFY(controller->recordedSeconds() > 0);

        // Next track only while the drive keeps up; the field then shows the new file.
        controller->forcedBytes = 512001;
        refresh();
        QCOMPARE(controls(), QString("01000 1r"));
        window->onNextTrack();
        controller->forcedBytes = 512000;
        refresh();
        click("nextTrackButton");
        QCOMPARE(controller->commands, QStringList({"start 0", "next"}));
        controller->forcedBytes.reset();
        QTRY_VERIFY(controller->currentFileName() != path("typed.wav"));
        refresh();
        QCOMPARE(shownPath(), controller->currentFileName());
        click("stopButton");
        // The record button comes back at the window's next look; a flush quicker than its
        // 100 ms tick would leave it disabled for the click below.
        QVERIFY(waitIdle());
        refresh();

        // Browsing with an empty field starts from the last path, in the mode's extension.
        child<QLineEdit>("pathEdit")->clear();
        QCOMPARE(browseTo(path("browsed.dsf")), QStringList({path("typed.wav"), "(*.wav)"}));
        QCOMPARE(destination(), path("browsed.wav") + " | " + path("browsed.wav"));
        QVERIFY(recordBrieflyByClicks() && recordBrieflyByClicks());
        QCOMPARE(controller->commands.mid(2), QStringList({"start 1", "start 0"}));

        // In DSD the dialog offers the DSD type, and the name gets it in place of its last suffix.
        QVERIFY(useDriver(2822400));
        QCOMPARE(browseTo(path("my.take.wav")).value(1), QString("(*.dff)"));
        QCOMPARE(controller->fileName(), path("my.take.dff"));
    }

    // While recording the window names the file and its track, and times the track beside the
    // whole recording: after a next track the track's clock starts again from zero.
    void fileTrackAndTrackTime()
    {
        QVERIFY(useDriver(44100));
        typePath(path("tracked.wav"));
        click("recordButton");
        QCOMPARE(child<QLineEdit>("fileLine")->text(), QString("track 1: tracked.wav"));
        QTRY_VERIFY_WITH_TIMEOUT(controller->recordedSeconds() >= 2.0, 10000);
        const double trackStart = controller->recordedSeconds();
        click("nextTrackButton");
        QTRY_VERIFY_WITH_TIMEOUT(controller->recordedSeconds() >= trackStart + 1.2, 10000);
        QTRY_COMPARE(controller->currentFileName(), path("tracked_0002.wav"));
        // The track began between the reading above and the click; the window shows whole seconds.
        const double before = controller->recordedSeconds() - trackStart;
        refresh();
        const double after = controller->recordedSeconds() - trackStart;
        const QString trackClock = child<QLabel>("trackTimeLabel")->text();
        QCOMPARE(child<QLineEdit>("fileLine")->text(), QString("track 2: tracked_0002.wav"));
        VERIFY_MATCH(clock(), "^00:0\\d:\\d\\d$");
        QVERIFY2(QTime::fromString(clock(), "hh:mm:ss").msecsSinceStartOfDay() >= 3000,
                 qPrintable(clock()));
        VERIFY_MATCH(trackClock, "^track 00:00:\\d\\d$");
        const int shown = trackClock.right(2).toInt();
        QVERIFY2(shown >= std::floor(before) - 1 && shown <= std::ceil(after),
                 qPrintable(QString("%1 between %2 and %3 s into the track")
                                .arg(trackClock)
                                .arg(before)
                                .arg(after)));
        click("stopButton");
        QVERIFY(waitIdle());
        refresh();
        QCOMPARE(child<QLineEdit>("fileLine")->text(), QString());
    }

    // A typed name with clock fields stays the pattern: each recording fills it in anew. The
    // metadata check box shows the controller's choice and sets it.
    void clockNamesAndTheMetadataChoice()
    {
        QVERIFY(useDriver(44100));
        typePath(path("%H%M%S_take.wav"));
        QVERIFY(recordBrieflyByClicks());
        QCOMPARE(shownPath(), path("%H%M%S_take.wav"));
        QTest::qWait(1100);
        QVERIFY(recordBrieflyByClicks());
        const QStringList files = QDir(dir.path()).entryList({"*_take*"}, QDir::Files);
        QVERIFY2(files.filter(QRegularExpression("^\\d{6}_take\\.wav$")).size() == 2,
                 qPrintable(files.join(' ')));

        bool shownChecked = false;
        configure(true, [&](AsioConfigDialog* d) {
            shownChecked = d->embedMetadata();
            d->setEmbedMetadata(false);
        });
        QVERIFY(shownChecked && !controller->isEmbedMetadataEnabled());
        controller->setEmbedMetadata(true);
    }

    // Ctrl+R, Ctrl+N and Ctrl+S work wherever the focus is, and only where their button could be
    // pressed: no next track or stop while nothing records. A focus on the record button moves
    // on to the next-track button that takes its place.
    void keyboardTransport_data()
    {
        QTest::addColumn<QString>("focus");
        QTest::addColumn<QString>("focusWhileRecording");
        QTest::newRow("in the destination field") << "pathEdit"
                                                  << "pathEdit";
        QTest::newRow("on the record button") << "recordButton"
                                              << "nextTrackButton";
        QTest::newRow("in the log window") << "log"
                                           << "log";
    }
    void keyboardTransport()
    {
        QFETCH(QString, focus);
        QFETCH(QString, focusWhileRecording);
        QCOMPARE(
            QStringList({button("recordButton")->toolTip(), button("nextTrackButton")->toolTip(),
                         button("stopButton")->toolTip()}),
            QStringList(
                {"start recording (Ctrl+R)", "next track (Ctrl+N)", "stop recording (Ctrl+S)"}));
        QVERIFY(useDriver(44100));
        typePath(path("keys.wav"));
        QWidget* focused = focus == "log" ? window->logTable() : window->findChild<QWidget*>(focus);
        focused->window()->show();
        focused->window()->activateWindow();
        QTRY_VERIFY(focused->isActiveWindow());
        focused->setFocus();
        QTRY_VERIFY(focused->hasFocus());
        auto press = [this](Qt::Key key) {
            QTest::keyClick(QApplication::focusWidget(), key, Qt::ControlModifier);
        };

        press(Qt::Key_N);
        press(Qt::Key_S);
        press(Qt::Key_R);
        QVERIFY(controller->isRecording() && controller->commands == QStringList("start 0"));
        QCOMPARE(QApplication::focusWidget(),
                 focus == "log" ? focused : child<QWidget>(qPrintable(focusWhileRecording)));
        QTRY_VERIFY(controller->recordedSeconds() > 0);
        press(Qt::Key_R);
        press(Qt::Key_N);
        QCOMPARE(controller->commands, QStringList({"start 0", "next"}));
        press(Qt::Key_S);
        QVERIFY(!controller->isRecording() && waitIdle());
        window->logWindow()->hide();
    }

    // ---- the destination: one trimmed name, checked once, a container that fits the data ----

    // recorded: the file written, or the reason in the box and the log when nothing may start;
    // existing: an earlier take there, "" for none (only a corrected name is asked about).
    void destinations_data()
    {
        QTest::addColumn<double>("rate");
        QTest::addColumn<QString>("typed"); // %1: the test's folder
        QTest::addColumn<QString>("existing");
        QTest::addColumn<QString>("recorded");
        // clang-format off
        QTest::newRow("PCM, typed .dsf") << 44100.0 << "%1/m1.dsf" << "" << "%1/m1.wav";
        QTest::newRow("DSD, typed .wav") << 2822400.0 << "%1/m2.wav" << "" << "%1/m2.dff";
        QTest::newRow("DSD, blank after .dsf") << 2822400.0 << "%1/sp.dsf " << "" << "%1/sp.dsf";
        QTest::newRow("PCM, padded, over a take") << 44100.0 << " %1/take.wav " << "take.wav" << "%1/take_0002.wav";
        // Asked whether to overwrite, Enter and Escape keep the file.
        QTest::newRow("DSD, corrected onto a take, Enter") << 2822400.0 << "%1/old.wav" << "old.dff" << "%1/old_0002.dff";
        QTest::newRow("DSD, corrected onto a take, Escape") << 2822400.0 << "%1/esc.wav" << "esc.dff" << "%1/esc_0002.dff";
        QTest::newRow("PCM, a date after the dot") << 44100.0 << "%1/Konzert 12.05.2024" << "" << "%1/Konzert 12.05.2024.wav";
        QTest::newRow("a folder") << 44100.0 << "%1/afolder" << "" << "'%1/afolder' is a folder, not a file";
        QTest::newRow("too long for its parts") << 44100.0 << "%1/" + QString(250, 'x') << ""
            << "the name '" + QString(250, 'x') + "' is too long: with the numbers of its tracks and parts "
               "(_9999_part9999) it needs 264 bytes, more than the 255 the file system allows";
        QTest::newRow("only blanks") << 44100.0 << "   " << "" << "Please specify file first";
        QTest::newRow("less than a minute of space") << 44100.0 << "%1/small/x.wav" << ""
            << "only 16.8 MB free for '%1/small/x.wav'; one minute of recording needs 21.2 MB";
        // clang-format on
    }
    void destinations()
    {
        QFETCH(double, rate);
        QFETCH(QString, typed);
        QFETCH(QString, existing);
        QFETCH(QString, recorded);
        QVERIFY(useDriver(rate) && QDir(dir.path()).mkpath("afolder"));
        if (typed.contains("/small/") && !mountTmpfs(path("small"), 16))
            QSKIP("a small tmpfs could not be mounted (that needs root)");
        QFile take(path(existing));
        QVERIFY(existing.isEmpty() ||
                (take.open(QIODevice::WriteOnly) && take.write("an earlier take") > 0));
        take.close();
        recorded = recorded.arg(dir.path());
        const bool refused = !recorded.startsWith('/');
        if (refused)
            answerBox(QMessageBox::Ok);
        else
            answerKey(QString(QTest::currentDataTag()).endsWith("Escape") ? Qt::Key_Escape
                                                                          : Qt::Key_Return);
        typePath(typed.arg(dir.path()));
        QVERIFY(recordBrieflyByClicks());
        QString expected = refused ? "[lamp] Start Error: " + recorded : "";
        if (existing.endsWith(".dff")) // a corrected name is asked about, a typed one not
            expected = "Confirm Overwrite: Do you want to overwrite '" + path(existing) + "'?";
        QCOMPARE(boxes.join('\n'), expected);
        if (refused) {
            QVERIFY(controller->commands.isEmpty());
            QTRY_VERIFY(logText().contains("recording not started: " + recorded));
        } else {
            // ffprobe's name of the container that the extension stands for
            const QHash<QString, QString> formats{{"wav", "wav"}, {"dff", "iff"}, {"dsf", "dsf"}};
            const MediaInfo info = MediaProbe::probe(recorded);
            QCOMPARE(shownPath() + ' ' + info.formatName,
                     recorded + ' ' + formats[QFileInfo(recorded).suffix()]);
            QVERIFY(info.duration > 0);
        }
        QVERIFY(existing.isEmpty() ||
                (take.open(QIODevice::ReadOnly) && take.readAll() == "an earlier take"));
    }

    // A take ended by a full RAM buffer says why in the status line until the next start; the
    // log keeps its line. The stream is stopped and its buffers are handed over by hand: a
    // frame whose right channel never comes holds up the writer until the pool is full.
    void fullRamBufferSaysWhy()
    {
        QVERIFY(useDriver(44100));
        typePath(path("full.wav"));
        click("recordButton");
        QVERIFY(controller->isRecording() && controller->driverSession().stopStreaming());
        ASIOBufferInfo* in = AsioHostState::instance()->bufferInfos;
        controller->processBuffer((uchar*)in[0].buffers[0], 0, ASIOSTInt32LSB, 512, 0);
        for (int k = 0; controller->isRecording() && k < (64 << 20) / 2048 + 2; ++k)
            controller->processBuffer((uchar*)in[k % 2].buffers[0], k % 2, ASIOSTInt32LSB, 512, 0);
        const QString reason = "recording stopped: RAM buffer full (the disk is too slow)";
        QLineEdit* line = child<QLineEdit>("reasonLine");
        QTRY_COMPARE(line->text(), reason);
        QVERIFY(logText().contains("buffer is full"));
        QVERIFY(waitIdle());
        refresh();
        QCOMPARE(line->text(), reason);
        QVERIFY(useDriver(44100) && recordBrieflyByClicks());
        QCOMPARE(line->text(), QString());
    }

    // A disk with about 68 s of room at 44.1 kHz: the time left is shown, and the log warns
    // once on passing 10 minutes and once on passing 1 minute.
    void timeLeftAndDiskWarnings()
    {
        QVERIFY(useDriver(44100));
        if (!mountTmpfs(path("tight"), 23))
            QSKIP("a small tmpfs could not be mounted (that needs root)");
        const QString warning = "of recording time left on the disk of";
        const int before = logText().count(warning);
        typePath(path("tight/t.wav"));
        click("recordButton");
        refresh();
        VERIFY_MATCH(status(),
                     "^Halvik UI Driver - recording PCM  @44\\.1 kHz / \\(0:01:0\\d left\\)$");
        QTRY_COMPARE(logText().count(warning), before + 1);
        // The test driver delivers audio faster than real time: the minute mark comes soon.
        QTRY_COMPARE_WITH_TIMEOUT(logText().count(warning), before + 2, 15000);
        QTest::qWait(1500);
        QCOMPARE(logText().count(warning), before + 2);
        window->onStopRec();
        QVERIFY(waitIdle());
    }

    // Back during a recording: the log says where and how long audio is missing, and the clock
    // shows the audio recorded (the test driver runs faster than real time, so wall-clock time
    // would differ by seconds). Gone for good: stop still ends the take, the settings dialog
    // keeps the device waited for, and the window closes.
    void unpluggedButInControl()
    {
        // Unplugged, the device stays away (its driver fails to initialise) until plugged again;
        // then the recorder runs on for the given time.
        auto plugDevice = [this](bool present, int thenMs) {
            TestDriverScript script = TestDriver::script(kDriver);
            script.initSucceeds = present;
            TestDriver::setScript(kDriver, script);
            if (!present)
                TestDriver::current(kDriver)->requestReset(true);
            QTRY_VERIFY_WITH_TIMEOUT(
                present ? controller->isDriverReady() : controller->isReconnecting(), 3000);
            QTest::qWait(thenMs);
        };
        QVERIFY(useDriver(44100));
        typePath(path("gap.wav"));
        click("recordButton");
        QTest::qWait(300);
        plugDevice(false, 2200);
        plugDevice(true, 300);
        plugDevice(false, 1200); // a failed attempt at least, which leaves the host no driver name
        refresh();
        // Only stop is enabled.
        // Below the plea the driver's own words, which the log has once for each time away.
        VERIFY_MATCH(shown(), "^waiting for Halvik UI Driver \\(please check your USB "
                              "connection\\) / test driver init failed\\b.* \\| 010");
        QCOMPARE(logText().count("test driver init failed"), 2);
        click("stopButton");
        QVERIFY(waitIdle());
        const auto gap =
            QRegularExpression("gap of (\\d+\\.\\d) s at 00:00:0\\d in gap\\.wav").match(logText());
        QVERIFY2(gap.captured(1).toDouble() >= 2.0 && gap.captured(1).toDouble() < 5.0,
                 qPrintable(logText()));
        const double duration = MediaProbe::probe(path("gap.wav")).duration;
        const double seconds =
            QTime::fromString(clock(), "hh:mm:ss").msecsSinceStartOfDay() / 1000.0;
        QVERIFY2(std::abs(seconds - duration) < 1.0,
                 qPrintable(clock() + " vs " + QString::number(duration)));

        // Stopped while away: settings, browse and the destination are the user's again. Another
        // device may be chosen; a rate chosen while the device is away is applied on its return.
        refresh();
        VERIFY_MATCH(shown(), "^waiting for Halvik UI Driver .* \\| 00011 0w$");
        configure(true, [](AsioConfigDialog* d) { d->setDriver("Halvik Another Driver"); });
        refresh();
        QVERIFY(controller->isDriverReady() && controller->deviceName() == "Halvik Another Driver");
        configure(true, [](AsioConfigDialog* d) {
            d->setDriver(kDriver);
            d->setSampleRate(96000);
        });
        refresh();
        VERIFY_MATCH(shown(), "^waiting for Halvik UI Driver .* \\| 00011 0w$");
        QVERIFY(controller->isReconnecting() && controller->deviceName() == kDriver &&
                window->close());
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        plugDevice(true, 0);
        QVERIFY2(
            controller->sampleRate() == 96000 &&
                logText().contains("Halvik UI Driver is back: the sampling rate chosen meanwhile, "
                                   "96000 Hz, is applied (now 96.0 kHz)"),
            qPrintable(logText()));
        QVERIFY(useDriver(44100));
    }

    void settingsDialog()
    {
        typePath(path("config.dff"));
        // Cancel: the dialog showed the settings in force, and nothing changes.
        configure(false);
        QCOMPARE(settingsShown, QString("Halvik UI Driver 44100 dff"));
        QVERIFY(controller->commands.isEmpty() && !controller->isReconnecting());
        QCOMPARE(destination(), path("config.dff") + " | " + path("config.dff"));

        // OK after choosing DSD 1x and dsf: re-initialised, destination renamed, overwrite asked.
        QVERIFY(QFile(path("config.dsf")).open(QIODevice::WriteOnly));
        configure(true, [this](AsioConfigDialog* d) {
            d->setSampleRate(2822400);
            d->setDsdDefault("dsf");
            answerBox(QMessageBox::Yes);
        });
        QCOMPARE(controller->commands, QStringList("reinit Halvik UI Driver 2822400 0"));
        QCOMPARE(destination(), path("config.dsf") + " | " + path("config.dsf"));
        QCOMPARE(boxes, QStringList("Confirm Overwrite: Do you want to overwrite '" +
                                    path("config.dsf") + "'?"));

        // OK with nothing changed still re-initialises and re-applies the split size unchanged.
        controller->setAutoSplitSize(512LL << 20);
        configure(true);
        QVERIFY(controller->commands.size() == 2 && controller->autoSplitSize() == 512LL << 20);
    }

    // Never closed during a recording; while data waits for the disk only when the user says so.
    void closeGuard()
    {
        window->logWindow()->show();
        controller->forcedRecording = true;
        answerBox(QMessageBox::Ok);
        QVERIFY(!window->close());
        QVERIFY(window->isVisible() && !window->logWindow()->isVisible());
        controller->forcedRecording.reset();

        controller->forcedBytes = 4096;
        answerBox(QMessageBox::No);
        QVERIFY(!window->close());
        const QString storing = "[lamp] Storing in progress: We are still saving your precious "
                                "audio data.\nDo you still want to quit?";
        QCOMPARE(boxes, QStringList({"[lamp] Warning: Please stop recording first.", storing}));

        // After Yes the window shows what is left to write, lets nothing new start, and closes
        // by itself once all is written; a close meanwhile asks nothing.
        controller->forcedBytes = 3 << 20;
        answerBox(QMessageBox::Yes);
        QVERIFY(!window->close() && window->isVisible());
        QCOMPARE(status() + " | " + controls(), QString("finishing: 3.0 MB to write | 00000 0r"));
        controller->forcedBytes = (1 << 20) + (1 << 19);
        QVERIFY(!window->close() && boxes.size() == 3);
        QTRY_COMPARE(status(), QString("finishing: 1.5 MB to write"));
        controller->forcedBytes = 0;
        QTRY_VERIFY(!window->isVisible());
        window->show();
        QVERIFY(window->close() && boxes.size() == 3);
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
