// The controller's rules against the scriptable test driver.
#include "asiocontroller.h"
#include "asiodrivers.h"
#include "asiohoststate.h"
#include "audiofilewriter.h"
#include "partitionmanager.h"
#include "testdriver.h"

#include <QDir>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <thread>

namespace {
const char* const kDriver = "Halvik Rules Driver";
const char* const kForeign = "Other Vendor Driver";
} // namespace

class TestControllerRules : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    AsioController* controller = nullptr;
    QSharedPointer<PartitionManager> pool;
    QStringList texts, styled;  // the log's texts, and "type text colour background" of each line

    TestDriver* driver() { return TestDriver::current(kDriver); }
    uchar* output(int k, int half)
    {
        return static_cast<uchar*>(AsioHostState::instance()->bufferInfos[k].buffers[half]);
    }
    uchar* input(int k, int half) { return output(k, half); }
    // The driver's default script, changed as the case needs.
    template <typename Change>
    static void setScript(Change change)
    {
        TestDriverScript s;
        s.driverName = kDriver;
        change(s);
        TestDriver::setScript(kDriver, s);
    }
    void clearLog()
    {
        texts.clear();
        styled.clear();
    }

private slots:
    void initTestCase()
    {
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
        TestDriver::registerDriver(kDriver);
        TestDriver::registerDriver(kForeign);
        AsioHostState* host = AsioHostState::instance();
        QSharedPointer<AsioDrivers> drivers(new AsioDrivers);
        pool.reset(new PartitionManager(300 * 2048));
        QSharedPointer<AudioFileWriter> writer(new AudioFileWriter(pool));
        controller = new AsioController(host, drivers, pool, writer, 1, this);
        writer->setParent(controller);
        host->setBufferProcessor(controller);
        connect(controller,
                qOverload<QString, QString, QString, QColor, QColor>(&AsioController::logMsg), this,
                [this](QString m, QString t, QString, QColor c, QColor b) {
                    texts << m;
                    styled << QStringList{t, m, c.name(), b.name()}.join(' ');
                });
        controller->scanDrivers();
    }

    void init()
    {
        setScript([](TestDriverScript&) {});
        clearLog();
    }

    void logLinesAndFixedTexts()
    {
        controller->appendWarning("w");
        controller->appendDebug("d");
        controller->appendError("e");
        QCOMPARE(styled, QStringList({"Warning w #cc6400 #ffffff", "Dbg d #808080 #f0f0f0",
                                      "Error e #ff0000 #ffffff"}));
        QCOMPARE(controller->asioErrorText(-1000),
                 QString("hardware input or output is not present or available"));
        QCOMPARE(controller->asioErrorText(-5000), QString());
        QCOMPARE(controller->asioErrorText(0x3F4847A0), QString("success"));
        const auto bytes = [](std::initializer_list<ASIOSampleType> types) {
            QList<double> b;
            for (ASIOSampleType t : types)
                b << AsioController::bytesPerSample(t);
            return b;
        };
        QCOMPARE(bytes({ASIOSTInt16LSB, ASIOSTInt24MSB, ASIOSTInt32LSB24, ASIOSTFloat64LSB,
                        ASIOSTDSDInt8NER8, 5}),
                 (QList<double>{2, 3, 4, 8, 0.125, 0}));
        QCOMPARE(AsioController::ioFormatText(7), QString("UNKNOWN FORMAT"));
    }

    void initializesWithTheMessageSequence()
    {
        QVERIFY(controller->initializeDriver(kDriver, 2822400));
        QCOMPARE(texts, QStringList({"initializing Halvik Rules Driver...",
                                       "loading driver Halvik Rules Driver", "initializing asio",
                                       "check available sampling rates", "set IO format to DSD ...",
                                       "current IO format is DSD", "set sample rate to 2822400 ...",
                                       "current sample rate is 2822400", "reading driver info",
                                       "crete buffers", "driver Halvik Rules Driver initialized",
                                       "recording started"}));
        QVERIFY(styled.at(10).startsWith("Info driver Halvik Rules Driver initialized"));
        QVERIFY(controller->isDriverReady());
        QCOMPARE(controller->sampleRateText(), QString("DSD 1x (2822.4 kHz)"));
        QCOMPARE(pool->partitionSize(), 512u / 8u);  // 512 one-bit samples per half
    }

    void ratesMatchWithTwoDecimalsOrAreCorrected()
    {
        setScript([](TestDriverScript& s) { s.rates = {44100, 48000}; });
        QVERIFY(controller->initializeDriver(kDriver, 48000.004));
        QCOMPARE(controller->sampleRate(), 48000.0);
        QVERIFY(!texts.contains("sampling rate 48000 is not supported"));
        clearLog();
        QVERIFY(controller->initializeDriver(kDriver, 96000));
        QVERIFY(texts.contains("sampling rate 96000 is not supported"));
        QVERIFY(texts.contains("sampling rate corrected to 44100"));
        QCOMPARE(controller->sampleRate(), 44100.0);
        QCOMPARE(controller->sampleRateText(), QString("44.1 kHz"));
    }

    void ioFormatAnsweredWithOkIsAnError()
    {
        setScript([](TestDriverScript& s) { s.futureResult = ASE_OK; });
        QVERIFY(controller->initializeDriver(kDriver, 44100));
        QVERIFY(texts.contains("no errors"));
        QVERIFY(!texts.contains("current IO format is PCM"));
    }

    // DSD monitoring mirrors each input byte when asked; a stopped monitor sends silence; PCM
    // is never reversed; a driver without outputs leaves no stale output buffer to write into.
    void monitoringCopiesSilencesAndReverses()
    {
        QVERIFY(controller->initializeDriver(kDriver, 2822400));
        const int n = 512 / 8;
        memset(input(0, 0), 0x01, n);
        controller->setEnabledMonitorAsio(true);
        controller->setEnabledReverseBit(true);
        controller->processBuffer(input(0, 0), 0, ASIOSTDSDInt8MSB1, 512, 0);
        QCOMPARE(output(2, 0)[0], uchar(0x80));
        QCOMPARE(output(2, 0)[n - 1], uchar(0x80));
        controller->setEnabledMonitorAsio(false);
        controller->processBuffer(input(1, 1), 1, ASIOSTDSDInt8MSB1, 512, 1);
        QCOMPARE(output(3, 1)[n - 1], uchar(0x96));
        QVERIFY(controller->initializeDriver(kDriver, 44100));
        memset(output(2, 0), 0x55, 2048);
        controller->processBuffer(input(0, 0), 0, ASIOSTInt32LSB, 512, 0);
        QCOMPARE(output(2, 0)[2047], uchar(0x00));
        controller->setEnabledMonitorAsio(true);
        memset(input(0, 0), 0x01, 2048);
        controller->processBuffer(input(0, 0), 0, ASIOSTInt32LSB, 512, 0);
        QCOMPARE(output(2, 0)[0], uchar(0x01));
        controller->setEnabledReverseBit(false);

        setScript([](TestDriverScript& s) { s.outputs = 0; });
        QVERIFY(controller->initializeDriver(kDriver, 44100));
        for (int k = 2; k < 4; ++k)
            QVERIFY(!AsioHostState::instance()->bufferInfos[k].buffers[0] && !output(k, 1));
        memset(input(0, 0), 0x11, 2048);
        controller->processBuffer(input(0, 0), 0, ASIOSTInt32LSB, 512, 0);
        controller->processBuffer(input(1, 0), 1, ASIOSTInt32LSB, 512, 0);
        controller->setEnabledMonitorAsio(false);
        QCOMPARE(input(0, 0)[2047], uchar(0x11));
    }

    void resynchronisationsAreCountedInTheLog()
    {
        QVERIFY(controller->initializeDriver(kDriver, 44100));
        clearLog();
        const auto resyncs = [](int n) {
            std::thread([n] {
                for (int i = 0; i < n; ++i)
                    QCOMPARE(AsioHostState::asioMessage(kAsioResyncRequest, 0, nullptr, nullptr), 1L);
            }).join();
        };
        const QString line("the driver lost samples and resynchronised (%1 times since it was initialized)");
        resyncs(3);
        QVERIFY(texts.isEmpty());  // reported on the GUI thread, never from the driver's
        QTRY_COMPARE(texts, QStringList({line.arg(3)}));
        QVERIFY(styled.at(0).startsWith("Warning "));
        resyncs(1);
        QTRY_COMPARE(texts, QStringList({line.arg(3), line.arg(4)}));
        QVERIFY(controller->initializeDriver(kDriver, 44100));
        clearLog();
        resyncs(1);
        QTRY_COMPARE(texts, QStringList({line.arg(1)}));
    }

    void fullPoolStopsRecordingOnceAndSlowDriveThreshold()
    {
        QVERIFY(controller->initializeDriver(kDriver, 44100));
        QCOMPARE(pool->partitionCount(), 300);
        const QString file = QDir(dir.path()).filePath("full.wav");
        controller->setFileName(file);
        QVERIFY(controller->startRecording(true));
        controller->processBuffer(input(0, 0), 0, 5, 512, 0);
        QTRY_VERIFY(texts.contains("invalid buffer type"));
        // A frame whose right channel never comes holds up the writer: everything after it
        // stays in the pool until the recording is closed.
        controller->processBuffer(input(0, 0), 0, ASIOSTInt32LSB, 512, 0);
        int next = 0;
        auto feed = [&](int blocks) {
            for (int i = 0; i < blocks; ++i, ++next)
                controller->processBuffer(input(next % 2, 0), next % 2, ASIOSTInt32LSB, 512, 0);
        };
        feed(249);
        QCOMPARE(controller->bufferedBytes(), qint64(512000));
        QVERIFY(!controller->isSlowDrive());
        QVERIFY(controller->canRecordNextTrack());
        feed(1);
        QVERIFY(controller->isSlowDrive());
        feed(60);
        QVERIFY(!controller->isRecording());
        QCOMPARE(controller->bufferedBytes(), qint64(300 * 2048));
        // The close is still queued for the GUI thread, so nothing has been written yet.
        QVERIFY(!controller->startRecording(true));
        QVERIFY(texts.contains("flushing still in progress"));
        QTRY_VERIFY(controller->isIdle());
        QCOMPARE(texts.count("buffer is full"), 1);
        QVERIFY(texts.contains("1 dropout during full.wav"));
        QVERIFY(controller->failureText().isEmpty());
        // 299 blocks after the held-up one were taken: their 149 whole frames reached the file.
        QCOMPARE(QFileInfo(file).size(), 44 + 149 * 2 * 2048);
    }

    void namesTracksAndContainers()
    {
        const QString d = dir.path();
        const auto type = [&](const QString& name) {
            controller->setFileName(d + name);
            return controller->fileType();
        };
        QCOMPARE((QList<int>{type("/a.DSF"), type("/adsf"), type("/a.dff"), type("/a.wav")}),
                 (QList<int>{2, 2, 1, 0}));
        // Whoever calls, a container never takes data of the other kind.
        QVERIFY(controller->initializeDriver(kDriver, 2822400));
        QTRY_VERIFY(controller->isIdle());
        QVERIFY(!controller->startRecording(true));
        QVERIFY(texts.contains("'" + d + "/a.wav' cannot hold DSD data"));
        QVERIFY(!QFile::exists(d + "/a.wav"));
        QCOMPARE(controller->stripTrackNumber(d + "/take_0007.dsf"), d + "/take.dsf");
        QCOMPARE(controller->stripTrackNumber(d + "/take_07.dsf"), d + "/take_07.dsf");
        QCOMPARE(controller->stripTrackNumber(d + "/a.b.dsf"), d + "/a.dsf");
        QFile(d + "/take.dsf").open(QIODevice::WriteOnly);
        QFile(d + "/take_0002.dsf").open(QIODevice::WriteOnly);
        QCOMPARE(controller->uniqueFileName(d + "/take.dsf"), d + "/take_0003.dsf");
        QCOMPARE(controller->nextTrackFileName(d + "/take_0002.dsf"), d + "/take_0003.dsf");

        // The folder is missing, so no track ever appears on disk for the free-name search.
        QVERIFY(controller->initializeDriver(kDriver, 44100));
        controller->setFileName(d + "/absent/take.wav");
        QVERIFY(controller->startRecording(true));
        // Without audio in the current track a next track would only leave an empty file.
        controller->recordNextTrack();
        QCOMPARE(controller->currentFileName(), d + "/absent/take.wav");
        driver()->fireBufferSwitch(0);
        controller->recordNextTrack();
        QCOMPARE(controller->currentFileName(), d + "/absent/take_0002.wav");
        // Pressed again at once after more audio: still a new name, not the one the writer has
        // just been given.
        driver()->fireBufferSwitch(1);
        controller->recordNextTrack();
        QVERIFY(controller->currentFileName() != d + "/absent/take_0002.wav");
        controller->stopRecording();
        QTRY_VERIFY(controller->isIdle());
    }

    // Asking again while reconnecting must not restart the interval: the test asks several
    // times an interval, and an attempt must still come.
    void reconnectionKeepsItsPhase()
    {
        QVERIFY(controller->initializeDriver(kDriver, 44100));
        QSignalSpy unloaded(controller, &AsioController::driverUnloaded);
        setScript([](TestDriverScript& s) { s.initSucceeds = false; });
        driver()->requestReset(true);
        QTRY_VERIFY(controller->isReconnecting());
        QCOMPARE(unloaded.count(), 1);
        clearLog();
        QTimer asker;
        connect(&asker, &QTimer::timeout, controller, &AsioController::startReconnecting);
        asker.start(200);
        QTRY_VERIFY_WITH_TIMEOUT(texts.count("loading driver Halvik Rules Driver") >= 2, 10000);
        asker.stop();
        setScript([](TestDriverScript&) {});
        QTRY_VERIFY_WITH_TIMEOUT(controller->isDriverReady(), 10000);
        QVERIFY(!controller->isReconnecting());
    }

    void settingsKeepSplitSizeAndDropMonitoringForForeignDrivers()
    {
        QVERIFY(controller->initializeDriver(kDriver, 44100));
        controller->loadIni("Veloran", "Tessaro Recorder");  // nothing is saved before a load
        controller->setEnabledMonitorAsio(true);
        controller->setAutoSplitSize(5000000000LL);
        controller->saveIni("Veloran", "Tessaro Recorder");
        controller->setAutoSplitSize(0);
        controller->loadIni("Veloran", "Tessaro Recorder");
        QCOMPARE(controller->autoSplitSize(), 5000000000LL);
        QVERIFY(controller->isMonitorAsioEnabled());
        QVERIFY(controller->initializeDriver(kForeign, 44100));
        controller->loadIni("Veloran", "Tessaro Recorder");
        QVERIFY(!controller->isMonitorAsioEnabled());
        controller->unloadCurrentDriver();
    }
};

QTEST_GUILESS_MAIN(TestControllerRules)
#include "tst_controller_rules.moc"
