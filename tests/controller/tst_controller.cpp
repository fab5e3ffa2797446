// The recorder's core built as start-up builds it. Against the scriptable test driver: the
// log's texts, rates, monitoring, the full pool, track names, reconnection and settings. On the
// simulated device, into real files that ffprobe and ffmpeg read back: tones in every format,
// the pattern across tracks and parts, reconnection, destinations that refuse the recording,
// level meters and dropouts.
#include "asiocontroller.h"
#include "asiodrivers.h"
#include "asiohoststate.h"
#include "audiofilewriter.h"
#include "capturesettings.h"
#include "mediaprobe.h"
#include "partitionmanager.h"
#include "recordingcontrol.h"
#include "simulateddriver.h"
#include "testdriver.h"

#include <QDir>
#include <QProcess>
#include <QScopeGuard>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>
#include <algorithm>
#include <cmath>
#include <thread>

namespace {
const QString kDevice = QString::fromLatin1(SimulatedDriver::kDescription);
const char* const kDriver = "Halvik Rules Driver"; // silent: its buffers stay zero
const char* const kForeign = "Other Vendor Driver";

// The seconds of audio the header counts (with a DSF's padding, as players count them), read
// where the format documents put the fields, or -1 when a size field disagrees with the file's
// length: the data must be exactly the whole units on disk, and a DSF sample count may leave
// out only the padding of the last block.
double countedSeconds(const QByteArray& f, const QString& suffix, double rate)
{
    const auto size = quint64(f.size());
    if (suffix == "dsf") {
        const quint64 data = qFromLittleEndian<quint64>(f.constData() + 84) - 12;
        const quint64 samples = qFromLittleEndian<quint64>(f.constData() + 64);
        const bool consistent = qFromLittleEndian<quint64>(f.constData() + 12) == size &&
                                data == size - 92 && samples <= data / 2 * 8 &&
                                samples + 4096 * 8 > data / 2 * 8;
        return consistent && data % 8192 == 0 ? data / (rate / 4) : -1;
    }
    if (suffix == "dff") {
        const quint64 data = qFromBigEndian<quint64>(f.constData() + 122);
        const bool consistent =
            qFromBigEndian<quint64>(f.constData() + 4) == size - 12 && data == size - 130;
        return consistent && data % 2 == 0 ? data / (rate / 4) : -1;
    }
    const quint32 data = qFromLittleEndian<quint32>(f.constData() + 40);
    const bool consistent =
        qFromLittleEndian<quint32>(f.constData() + 4) == data + 36 && data == size - 44;
    return consistent && data % 8 == 0 ? data / (rate * 8) : -1;
}
QByteArray contents(const QString& file)
{
    QFile f(file);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
} // namespace

class TestController : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    AsioController* controller = nullptr;
    QSharedPointer<PartitionManager> pool;
    // The log's texts, "type text colour background" of each line, the errors' texts, and the
    // files the writer has finished.
    QStringList log, styled, errors, closed;

    QString path(const QString& name) { return QDir(dir.path()).absoluteFilePath(name); }
    TestDriver* driver() { return TestDriver::current(kDriver); }
    // The host's buffer k (the inputs, then the outputs), half 0 or 1.
    uchar* buffer(int k, int half)
    {
        return (uchar*)AsioHostState::instance()->bufferInfos[k].buffers[half];
    }
    // The test driver's default script, changed as the case needs.
    template <typename Change> static void setScript(Change change)
    {
        TestDriverScript s;
        s.driverName = kDriver;
        change(s);
        TestDriver::setScript(kDriver, s);
    }
    void clearLog()
    {
        for (QStringList* list : {&log, &styled, &errors, &closed})
            list->clear();
    }

    // The header counts exactly the data on disk, standard tools read the file for as long, and
    // each channel carries its own tone of the device.
    void verifyFile(const QString& file, double rate)
    {
        const QString suffix = QFileInfo(file).suffix();
        const double seconds = countedSeconds(contents(file), suffix, rate);
        const MediaInfo info = MediaProbe::probe(file);
        QCOMPARE(info.formatName + " " + QString::number(info.channels),
                 (suffix == "dff" ? QString("iff") : suffix) + " 2");
        QVERIFY2(seconds > 0 && std::abs(info.duration - seconds) < 0.01,
                 qPrintable(QString("%1 s counted, %2 s probed").arg(seconds).arg(info.duration)));
        const int decodeRate = rate > 384000 ? 88200 : int(rate);
        const auto decoded = MediaProbe::decode(file, rate > 384000 ? decodeRate : 0);
        QCOMPARE((QList<double>{MediaProbe::dominantFrequency(decoded.value(0), decodeRate),
                                MediaProbe::dominantFrequency(decoded.value(1), decodeRate)}),
                 (QList<double>{SimulatedDriver::kToneHz[0], SimulatedDriver::kToneHz[1]}));
    }
    // Waits until the file holds the given seconds of audio (while the device streams).
    bool waitRecorded(const QString& file, double seconds, double rate)
    {
        const double perSecond = QFileInfo(file).suffix() == "wav" ? rate * 8 : rate / 4;
        return QTest::qWaitFor([&] { return QFileInfo(file).size() > seconds * perSecond; }, 20000);
    }
    // Stops the recording and waits until the writer has closed the file.
    bool stopAndClose(const QString& file)
    {
        closed.removeAll(file);
        controller->stopRecording();
        return QTest::qWaitFor([&] { return controller->isIdle() && closed.contains(file); },
                               20000);
    }

    // Checks the pattern words of a stereo WAV from sample `first` on or, when first < 0, from
    // the sample its first word carries; returns the next expected sample, or -1 at the first
    // word out of order.
    qint64 checkPattern(const QString& file, qint64 first = -1)
    {
        const QByteArray bytes = contents(file);
        const auto word = [&](int pos) {
            return qFromLittleEndian<quint32>(bytes.constData() + pos);
        };
        qint64 n = first >= 0 || bytes.size() < 48 ? first : word(44) & 0x0fffffff;
        for (int pos = 44; n >= 0 && pos + 8 <= bytes.size(); pos += 8, ++n) {
            if (word(pos) != SimulatedDriver::patternWord(0, n) ||
                word(pos + 4) != SimulatedDriver::patternWord(1, n))
                return -1;
        }
        return n;
    }

    // The peaks of both inputs (dB) since the previous call.
    QVector<double> takePeaks()
    {
        const auto db = [this](int input) {
            return 20 * std::log10(double(controller->levelMeter(input).takePeak()));
        };
        return {db(0), db(1)};
    }

private slots:
    void initTestCase()
    {
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
        registerSimulatedDriver();
        TestDriver::registerDriver(kDriver);
        TestDriver::registerDriver(kForeign);
        AsioHostState* host = AsioHostState::instance();
        pool.reset(new PartitionManager(64u << 20));
        QSharedPointer<AudioFileWriter> writer(new AudioFileWriter(pool));
        controller =
            new AsioController(host, QSharedPointer<AsioDrivers>::create(), pool, writer, this);
        controller->setEmbedMetadata(false); // the plain headers these cases read
        writer->setParent(controller);
        host->setBufferProcessor(controller);
        connect(
            writer.data(), &AudioFileWriter::fileClosed, this,
            [this](const QString& file) { closed << file; }, Qt::QueuedConnection);
        connect(controller,
                qOverload<QString, QString, QString, QColor, QColor>(&AsioController::logMsg), this,
                [this](QString m, QString t, QString, QColor c, QColor b) {
                    log << m;
                    styled << QStringList{t, m, c.name(), b.name()}.join(' ');
                    if (t == "Error")
                        errors << m;
                });
        controller->scanDrivers();
        controller->scanSamplingRate();
        QVERIFY(controller->driverNames().contains(kDevice));
    }

    void init()
    {
        setScript([](TestDriverScript&) {});
        clearLog();
    }

    void cleanup()
    {
        SimulatedDriver::setSignal(SimulatedDriver::Signal::Tone);
        SimulatedDriver::setToneLevelDb(SimulatedDriver::kToneLevelDb);
    }

    void cleanupTestCase() { controller->unloadCurrentDriver(); }

    void initializesWithTheMessageSequenceAndFixedTexts()
    {
        QVERIFY(controller->initializeDriver(kDriver, 2822400));
        QCOMPARE(log,
                 QStringList({"initializing Halvik Rules Driver...",
                              "loading driver Halvik Rules Driver", "initializing asio",
                              "check available sampling rates", "set IO format to DSD ...",
                              "current IO format is DSD", "set sample rate to 2822400 ...",
                              "current sample rate is 2822400", "reading driver info",
                              "crete buffers", "inputs used: In 1, In 2 (the device has 2 inputs)",
                              "driver Halvik Rules Driver initialized", "recording started"}));
        QVERIFY(controller->isDriverReady());
        QCOMPARE(controller->sampleRateText(), QString("DSD 1x (2822.4 kHz)"));
        QCOMPARE(pool->partitionSize(), 512u / 8u); // 512 one-bit samples per half
        // Reading the driver's answers again while it streams leaves the buffer size the running
        // buffers were made for, which the driver thread reads on every switch.
        setScript([](TestDriverScript& s) { s.preferredBufferSize = 1024; });
        QVERIFY(controller->refreshInfo());
        QCOMPARE(controller->bufferSize(), 512L);
        QCOMPARE((QStringList{controller->asioErrorText(-1000), controller->asioErrorText(-5000)}),
                 (QStringList{"hardware input or output is not present or available", ""}));
        QList<double> bytes;
        for (ASIOSampleType t :
             std::initializer_list<ASIOSampleType>{ASIOSTInt16LSB, ASIOSTInt24MSB, ASIOSTInt32LSB24,
                                                   ASIOSTFloat64LSB, ASIOSTDSDInt8NER8, 5})
            bytes << AsioController::bytesPerSample(t);
        QCOMPARE(bytes, (QList<double>{2, 3, 4, 8, 0.125, 0}));
    }

    // The pair asked for is recorded where the device has it (the host asks the driver for
    // those channels, and monitors them on outputs 1-2); one it does not have gives way to
    // inputs 1-2 with one warning, and stays the one asked for. A driver that will not start
    // for a reason other than an absent device has it logged once however often it is asked,
    // and shown while it lasts.
    void choosesThePairOfInputsAndSaysWhyADriverWillNotStart()
    {
        setScript([](TestDriverScript& s) { s.inputs = 6; });
        QStringList seen;
        for (int pair : {1, 3, 4}) {
            controller->setInputPair(pair);
            QVERIFY(controller->initializeDriver(kDriver, 44100));
            const AsioHostState& h = *AsioHostState::instance();
            seen << QString("%1:%2,%3>%4,%5 %6")
                        .arg(controller->inputPair())
                        .arg(h.bufferInfos[0].channelNum)
                        .arg(h.bufferInfos[1].channelNum)
                        .arg(h.bufferInfos[2].isInput ? -1 : h.bufferInfos[2].channelNum)
                        .arg(h.bufferInfos[3].isInput ? -1 : h.bufferInfos[3].channelNum)
                        .arg(controller->requestedInputPair());
        }
        QCOMPARE(seen, (QStringList{"1:0,1>0,1 1", "3:4,5>0,1 3", "1:0,1>0,1 4"}));
        QCOMPARE(
            log.filter("inputs 7–8"),
            QStringList{"Halvik Rules Driver has 6 inputs, not inputs 7–8: recording inputs 1–2"});
        controller->setInputPair(1);

        const QString busy = "hw:3 is busy: Sound Server holds it and would not release it";
        for (const QString& said : {busy, QString("device unplugged")}) {
            setScript([&](TestDriverScript& s) {
                s.initSucceeds = false;
                s.errorMessage = said.toUtf8();
            });
            clearLog();
            for (int attempt = 0; attempt < 3; ++attempt)
                QVERIFY(!controller->initializeDriver(kDriver, 44100));
            QCOMPARE(QString("%1 %2").arg(log.count(busy)).arg(controller->driverProblem()),
                     said == busy ? "1 " + busy : QString("0 "));
        }
        setScript([](TestDriverScript&) {});
        QVERIFY(controller->initializeDriver(kDriver, 44100));
        QCOMPARE(controller->driverProblem(), QString());
    }

    // A rate matches with two decimals or is corrected; a driver that answers the IO format
    // with ASE_OK instead of ASE_SUCCESS has not set it.
    void ratesAndIoFormatAnswers()
    {
        setScript([](TestDriverScript& s) { s.rates = {44100, 48000}; });
        QVERIFY(controller->initializeDriver(kDriver, 48000.004));
        QCOMPARE(controller->sampleRate(), 48000.0);
        QVERIFY(!log.contains("sampling rate 48000 is not supported"));
        clearLog();
        QVERIFY(controller->initializeDriver(kDriver, 96000));
        QCOMPARE(log.filter("sampling rate "), QStringList({"sampling rate 96000 is not supported",
                                                            "sampling rate corrected to 44100"}));
        QCOMPARE(QString::number(controller->sampleRate()) + " " + controller->sampleRateText(),
                 QString("44100 44.1 kHz"));
        clearLog();
        setScript([](TestDriverScript& s) { s.futureResult = ASE_OK; });
        QVERIFY(controller->initializeDriver(kDriver, 44100));
        QVERIFY(log.contains("no errors"));
        QVERIFY(!log.contains("current IO format is PCM"));
    }

    // DSD monitoring mirrors each input byte when asked; a stopped monitor sends silence; PCM
    // is never reversed; a driver without outputs leaves no stale output buffer to write into.
    void monitoringCopiesSilencesAndReverses()
    {
        QVERIFY(controller->initializeDriver(kDriver, 2822400));
        const int n = 512 / 8;
        memset(buffer(0, 0), 0x01, n);
        controller->setEnabledMonitorAsio(true);
        controller->setEnabledReverseBit(true);
        controller->processBuffer(buffer(0, 0), 0, ASIOSTDSDInt8MSB1, 512, 0);
        QCOMPARE(QByteArray(reinterpret_cast<char*>(buffer(2, 0)), n), QByteArray(n, '\x80'));
        controller->setEnabledMonitorAsio(false);
        controller->processBuffer(buffer(1, 1), 1, ASIOSTDSDInt8MSB1, 512, 1);
        QCOMPARE(buffer(3, 1)[n - 1], uchar(0x96));
        QVERIFY(controller->initializeDriver(kDriver, 44100));
        memset(buffer(2, 0), 0x55, 2048);
        controller->processBuffer(buffer(0, 0), 0, ASIOSTInt32LSB, 512, 0);
        QCOMPARE(buffer(2, 0)[2047], uchar(0x00));
        controller->setEnabledMonitorAsio(true);
        memset(buffer(0, 0), 0x01, 2048);
        controller->processBuffer(buffer(0, 0), 0, ASIOSTInt32LSB, 512, 0);
        QCOMPARE(buffer(2, 0)[0], uchar(0x01));
        controller->setEnabledReverseBit(false);

        setScript([](TestDriverScript& s) { s.outputs = 0; });
        QVERIFY(controller->initializeDriver(kDriver, 44100));
        for (int k = 2; k < 4; ++k)
            QVERIFY(!buffer(k, 0) && !buffer(k, 1));
        memset(buffer(0, 0), 0x11, 2048);
        controller->processBuffer(buffer(0, 0), 0, ASIOSTInt32LSB, 512, 0);
        controller->processBuffer(buffer(1, 0), 1, ASIOSTInt32LSB, 512, 0);
        controller->setEnabledMonitorAsio(false);
        QCOMPARE(buffer(0, 0)[2047], uchar(0x11));
    }

    void resynchronisationsAreCountedInTheLog()
    {
        QVERIFY(controller->initializeDriver(kDriver, 44100));
        clearLog();
        const auto resyncs = [](int n) {
            std::thread([n] {
                for (int i = 0; i < n; ++i)
                    QCOMPARE(AsioHostState::asioMessage(kAsioResyncRequest, 0, nullptr, nullptr),
                             1L);
            }).join();
        };
        const QString line(
            "the driver lost samples and resynchronised (%1 times since it was initialized)");
        resyncs(3);
        QVERIFY(log.isEmpty()); // reported on the GUI thread, never from the driver's
        // The warning's colours stand for the log's styling.
        QTRY_COMPARE(styled, QStringList({"Warning " + line.arg(3) + " #cc6400 #ffffff"}));
        resyncs(1);
        QTRY_COMPARE(log, QStringList({line.arg(3), line.arg(4)}));
        QVERIFY(controller->initializeDriver(kDriver, 44100));
        clearLog();
        resyncs(1);
        QTRY_COMPARE(log, QStringList({line.arg(1)}));
    }

    void fullPoolStopsRecordingOnceAndSlowDriveThreshold()
    {
        QVERIFY(controller->initializeDriver(kDriver, 44100));
        const int blocks = (64 << 20) / 2048; // 512 frames of 32-bit samples a block
        QCOMPARE(pool->partitionCount(), blocks);
        const QString file = path("full.wav");
        controller->setFileName(file);
        QVERIFY(controller->startRecording(true));
        controller->processBuffer(buffer(0, 0), 0, 5, 512, 0);
        QTRY_VERIFY(log.contains("invalid buffer type"));
        // A frame whose right channel never comes holds up the writer: everything after it
        // stays in the pool until the recording is closed.
        controller->processBuffer(buffer(0, 0), 0, ASIOSTInt32LSB, 512, 0);
        int next = 0;
        auto feed = [&](int blocks) {
            for (int i = 0; i < blocks; ++i, ++next)
                controller->processBuffer(buffer(next % 2, 0), next % 2, ASIOSTInt32LSB, 512, 0);
        };
        feed(249);
        QCOMPARE(controller->bufferedBytes(), qint64(512000));
        QVERIFY(!controller->isSlowDrive() && controller->canRecordNextTrack());
        feed(1);
        QVERIFY(controller->isSlowDrive());
        feed(blocks - 250 + 60);
        QVERIFY(!controller->isRecording());
        QCOMPARE(controller->bufferedBytes(), qint64(blocks) * 2048);
        // The close is still queued for the GUI thread, so nothing has been written yet.
        QVERIFY(!controller->startRecording(true));
        QVERIFY(log.contains("flushing still in progress"));
        QTRY_VERIFY_WITH_TIMEOUT(controller->isIdle(), 20000);
        QCOMPARE(log.count("buffer is full"), 1);
        QVERIFY(log.contains("1 dropout during full.wav"));
        QCOMPARE(controller->failureText(), QString("RAM buffer full (the disk is too slow)"));
        // The blocks after the held-up one that were taken: their whole frames reached the file.
        QCOMPARE(QFileInfo(file).size(), 44 + (blocks - 1) / 2 * 2 * 2048);
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
        QVERIFY(log.contains("'" + d + "/a.wav' cannot hold DSD data"));
        QVERIFY(!QFile::exists(d + "/a.wav"));
        QCOMPARE(RecordingControl::stripTrackNumber(d + "/take_0007.dsf"), d + "/take.dsf");
        QCOMPARE(RecordingControl::stripTrackNumber(d + "/take_07.dsf"), d + "/take_07.dsf");
        QCOMPARE(RecordingControl::stripTrackNumber(d + "/Konzert 12.05.2024_0003.wav"),
                 d + "/Konzert 12.05.2024.wav");
        QFile(d + "/take.dsf").open(QIODevice::WriteOnly);
        QFile(d + "/take_0002.dsf").open(QIODevice::WriteOnly);
        QCOMPARE(RecordingControl::uniqueFileName(d + "/take.dsf"), d + "/take_0003.dsf");
        QCOMPARE(RecordingControl::nextTrackFileName(d + "/take_0002.dsf"), d + "/take_0003.dsf");

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
        QTRY_VERIFY_WITH_TIMEOUT(log.count("loading driver Halvik Rules Driver") >= 2, 10000);
        asker.stop();
        setScript([](TestDriverScript&) {});
        QTRY_VERIFY_WITH_TIMEOUT(controller->isDriverReady() && !controller->isReconnecting(),
                                 10000);
    }

    void settingsKeepSplitSizeAndDropMonitoringForForeignDrivers()
    {
        QVERIFY(controller->initializeDriver(kDriver, 44100));
        controller->loadIni("Veloran", "Tessaro Recorder"); // nothing is saved before a load
        controller->setEnabledMonitorAsio(true);
        controller->setAutoSplitSize(5000000000LL);
        controller->saveIni("Veloran", "Tessaro Recorder");
        controller->setAutoSplitSize(0);
        controller->loadIni("Veloran", "Tessaro Recorder");
        QCOMPARE(QString("%1 %2")
                     .arg(controller->autoSplitSize())
                     .arg(controller->isMonitorAsioEnabled()),
                 QString("5000000000 1"));
        QVERIFY(controller->initializeDriver(kForeign, 44100));
        controller->loadIni("Veloran", "Tessaro Recorder");
        QVERIFY(!controller->isMonitorAsioEnabled());
        controller->unloadCurrentDriver();
    }

    void patternRunsOnAcrossTracksAndParts()
    {
        SimulatedDriver::setSignal(SimulatedDriver::Signal::Pattern);
        QVERIFY(controller->initializeDriver(kDevice, 48000));
        controller->setAutoSplitSize(44 + 20 * 2 * 4 *
                                              controller->bufferSize()); // twenty buffers a part
        controller->setFileName(path("pat.wav"));
        const auto files = [this](const QString& pattern) {
            return QDir(dir.path()).entryList({pattern}, QDir::Files, QDir::Name);
        };
        QVERIFY(controller->startRecording(true));
        QTRY_VERIFY_WITH_TIMEOUT(files("pat_part0002.wav").size() == 1, 20000);
        controller->recordNextTrack();
        QTRY_VERIFY_WITH_TIMEOUT(files("pat_0002_part0002.wav").size() == 1, 20000);
        controller->stopRecording();
        QTRY_VERIFY_WITH_TIMEOUT(controller->isIdle() && closed.size() == files("pat*.wav").size(),
                                 20000);
        controller->setAutoSplitSize(0);
        QStringList all = files("pat*.wav");
        // Tracks continue the parts of the first take: pat, pat_part0002.. then pat_0002...
        std::stable_partition(all.begin(), all.end(),
                              [](const QString& f) { return !f.startsWith("pat_0002"); });
        qint64 n = -1; // the first file tells where the recording began
        for (const QString& f : all) {
            n = checkPattern(path(f), n);
            QVERIFY2(n > 0, qPrintable(f));
        }
        // The log names each file as it opens and, once closed, what it holds as ffprobe reads
        // it and as the file system counts its bytes.
        const QStringList lines = log.filter(QRegularExpression("^(recording into|closed) "));
        QCOMPARE(lines.size(), 2 * all.size());
        for (int i = 0; i < all.size(); ++i) {
            QCOMPARE(lines[2 * i], "recording into " + all[i]);
            const QRegularExpressionMatch m =
                QRegularExpression("^closed " + QRegularExpression::escape(all[i]) +
                                   ": 00:(\\d\\d):(\\d\\d\\.\\d), (\\d+\\.\\d) MB$")
                    .match(lines[2 * i + 1]);
            QVERIFY2(m.hasMatch(), qPrintable(lines[2 * i + 1]));
            const double shown = m.captured(1).toInt() * 60 + m.captured(2).toDouble();
            const double probed = MediaProbe::probe(path(all[i])).duration;
            QVERIFY2(std::abs(shown - probed) < 0.051,
                     qPrintable(QString("%1: %2 s probed").arg(lines[2 * i + 1]).arg(probed)));
            QCOMPARE(m.captured(3), QString::number(QFileInfo(path(all[i])).size() / 1e6, 'f', 1));
        }
    }

    // A real file system that fills up, and names the writer cannot open: each gives one error,
    // stops the recording, frees the pool and leaves a file that standard tools read, its header
    // counting exactly the whole frames on disk.
    void refusedDestinationStopsTheRecordingOnce_data()
    {
        QTest::addColumn<double>("rate");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("reason");
        QTest::newRow("full disk, DSD 4x to dsf") << 11289600.0 << "full.dsf"
                                                  << "No space left on device";
        QTest::newRow("full disk, DSD 4x to dff") << 11289600.0 << "full.dff"
                                                  << "No space left on device";
        QTest::newRow("full disk, 384 kHz to wav") << 384000.0 << "full.wav"
                                                   << "No space left on device";
        QTest::newRow("missing folder") << 2822400.0 << "gone/take.dsf"
                                        << "No such file or directory";
    }

    void refusedDestinationStopsTheRecordingOnce()
    {
        QFETCH(double, rate);
        QFETCH(QString, name);
        QFETCH(QString, reason);
        // An 8 MiB file system of its own for the full-disk rows.
        const bool onSmallDisk = reason == "No space left on device";
        QTemporaryDir disk;
        const QStringList mount{"-t", "tmpfs", "-o", "size=8m", "tmpfs", disk.path()};
        if (onSmallDisk && QProcess::execute("mount", mount) != 0)
            QSKIP("mounting a small file system failed (it needs root)");
        const auto unmount = qScopeGuard([&] {
            if (onSmallDisk)
                QProcess::execute("umount", {disk.path()});
        });
        const QString file = QDir(onSmallDisk ? disk.path() : dir.path()).absoluteFilePath(name);
        QVERIFY(controller->initializeDriver(kDevice, rate));
        errors.clear();
        controller->setFileName(file);
        QVERIFY(controller->startRecording(true));
        QTRY_VERIFY_WITH_TIMEOUT(controller->isIdle(), 20000);
        QCOMPARE(pool->usedCount(), 0);
        QVERIFY2(errors.value(0).contains(QDir::toNativeSeparators(file) + ": " + reason),
                 qPrintable(errors.join('|')));
        QCOMPARE(controller->failureText(), reason);
        if (onSmallDisk) {
            QVERIFY2(QFileInfo(file).size() > 7 << 20,
                     qPrintable(QString::number(QFileInfo(file).size())));
            verifyFile(file, rate);
        }
        // Ready for the next take, which clears the reason; nothing followed the one error.
        const QString next = path(controller->isDsd() ? "next.dsf" : "next.wav");
        controller->setFileName(next);
        QVERIFY(controller->startRecording(true));
        QVERIFY(controller->failureText().isEmpty());
        QVERIFY(stopAndClose(next));
        QCOMPARE(errors.size(), 1);
    }

    // The meters read the device's level, PCM in dB of full scale, DSD in dB of 50 % modulation:
    // the tone at half of full scale is -6.0 dBFS and 0 dB DSD. A row with a file records it with
    // resynchronisations, which are its dropouts, counted from its start and logged at its stop
    // (one before the recording is not); the file carries each channel's tone. A full-scale
    // burst then clips its input only, and the meters start afresh with the next driver.
    void metersRecordingsAndDropouts_data()
    {
        QTest::addColumn<double>("rate");
        QTest::addColumn<double>("toneDb");
        QTest::addColumn<int>("burst"); // the input that clips, -1 for none
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("dropouts");
        QTest::addColumn<QStringList>("dropoutLog");
        const auto row = [](const char* tag, double rate, double toneDb, int burst,
                            const char* name = "", int dropouts = 0,
                            const QStringList& dropoutLog = {}) {
            QTest::newRow(tag) << rate << toneDb << burst << QString(name) << dropouts
                               << dropoutLog;
        };
        const double tone = SimulatedDriver::kToneLevelDb;
        row("PCM 44.1 kHz to wav, burst left", 44100, tone, 0, "t1.wav");
        row("PCM 384 kHz to wav, burst right", 384000, tone, 1, "t2.wav");
        row("PCM 20 dB lower", 44100, tone - 20, -1);
        row("PCM silence", 44100, -qInf(), -1);
        row("DSD 1x to dsf, burst right", 2822400, tone, 1, "t3.dsf", 3,
            {"3 dropouts during t3.dsf"});
        row("DSD 2x to dff", 5644800, tone, -1, "t4.dff", 1, {"1 dropout during t4.dff"});
        row("DSD 4x, burst left", 11289600, tone, 0);
        row("DSD 1x 20 dB lower", 2822400, tone - 20, -1);
        row("DSD 4x 20 dB lower", 11289600, tone - 20, -1);
        row("DSD silence", 2822400, -qInf(), -1);
    }

    void metersRecordingsAndDropouts()
    {
        QFETCH(double, rate);
        QFETCH(double, toneDb);
        QFETCH(int, burst);
        QFETCH(QString, name);
        QFETCH(int, dropouts);
        QFETCH(QStringList, dropoutLog);
        SimulatedDriver::setToneLevelDb(toneDb);
        QVERIFY(controller->initializeDriver(kDevice, rate));
        QVERIFY(controller->sampleRate() == rate && controller->isStreaming());
        QTest::qWait(200); // past the first blocks of the stream
        takePeaks();
        QTest::qWait(500);
        QVector<double> peaks = takePeaks();
        const double reading = toneDb + (controller->isDsd() ? 6.0 : 0.0);
        for (int input = 0; input < 2; ++input) {
            QVERIFY2(std::isinf(reading) ? peaks[input] <= -60
                                         : std::abs(peaks[input] - reading) <= 0.5,
                     qPrintable(QString("input %1 reads %2 dB").arg(input).arg(peaks[input])));
            QVERIFY(!controller->levelMeter(input).takeClip());
        }
        if (!name.isEmpty()) {
            controller->driverResyncRequested();
            controller->setFileName(path(name));
            QVERIFY(controller->startRecording(true));
            std::thread([this, dropouts] {
                for (int i = 0; i < dropouts; ++i)
                    controller->driverResyncRequested();
            }).join();
            QCOMPARE(controller->dropoutCount(), unsigned(dropouts));
            QVERIFY(waitRecorded(path(name), 1.0, rate));
            log.clear();
            QVERIFY(stopAndClose(path(name)));
            QCOMPARE(log.filter(" during "), dropoutLog);
            verifyFile(path(name), rate);
        }
        if (burst < 0)
            return;
        SimulatedDriver::addFullScaleBurst(burst);
        QTest::qWait(300);
        peaks = takePeaks();
        const double fullScale = controller->isDsd() ? 3.1 : -0.01; // DSD: 100 % is +6 dB
        QVERIFY(controller->levelMeter(burst).takeClip());
        QVERIFY(!controller->levelMeter(1 - burst).takeClip());
        QVERIFY2(peaks[burst] >= fullScale, qPrintable(QString::number(peaks[burst])));
        QVERIFY2(peaks[1 - burst] < fullScale, qPrintable(QString::number(peaks[1 - burst])));
        // A peak the window has not fetched yet belongs to the old driver and must not show.
        SimulatedDriver::addFullScaleBurst(burst);
        QTest::qWait(300);
        QVERIFY(controller->initializeDriver(kDriver, 44100));
        QCOMPARE(takePeaks(), QVector<double>({-qInf(), -qInf()}));
        QVERIFY(!controller->levelMeter(0).takeClip() && !controller->levelMeter(1).takeClip());
    }

    // The limits of each choice, their levels and times at a rate, the frames kept back for a
    // buffer size, and a pre-record that a small pool cannot hold, shortened.
    void captureSettingsLimitsAndRings_data()
    {
        QTest::addColumn<QString>("given"); // "field=value ...", field by its command-line name
        QTest::addColumn<QString>("refused");
        QTest::addColumn<double>("rate");
        QTest::addColumn<int>("bufferSize");
        QTest::addColumn<int>("partitions");
        // start and silence level (linear, 4 digits), stop, gap, min track (samples), frames:
        // pre-record, trigger, hold; and whether the pre-record was shortened
        QTest::addColumn<QString>("expected");
        // clang-format off
        QTest::newRow("all off") << "" << "" << 44100.0 << 512 << 32768
            << "0 0.001 0 0 441000 | 0 0 0 |";
        QTest::newRow("all on, PCM") << "pre-record=2 start-level=-40 silence-level=-50 "
            "stop-after-silence=3 split-on-silence=1.5 min-track=20" << "" << 48000.0 << 480 << 32768
            << "0.01 0.003162 144000 72000 960000 | 200 200 50 |";
        QTest::newRow("DSD 4x, a short gap holds half of it") << "split-on-silence=0.2 silence-level=0"
            << "" << 11289600.0 << 16384 << 65536 << "0 0.001 0 2257920 112896000 | 0 0 69 |";
        QTest::newRow("a pool too small") << "pre-record=30 start-level=-20" << ""
            << 44100.0 << 512 << 2000 << "0.1 0.001 0 0 441000 | 326 173 0 | shortened to 3.8 s";
        QTest::newRow("out of range") << "pre-record=30.5 start-level=1 silence-level=-121 "
            "stop-after-silence=-1 split-on-silence=3601 min-track=nan"
            << "pre-record start-level silence-level stop-after-silence split-on-silence min-track"
            << 44100.0 << 512 << 32768 << "0 0.001 0 0 441000 | 0 0 0 |";
        // clang-format on
    }
    void captureSettingsLimitsAndRings()
    {
        QFETCH(QString, given);
        QFETCH(QString, refused);
        QFETCH(double, rate);
        QFETCH(int, bufferSize);
        QFETCH(int, partitions);
        QFETCH(QString, expected);
        CaptureSettings settings;
        QStringList refusedNow;
        for (const QString& item : given.split(' ', Qt::SkipEmptyParts)) {
            for (const CaptureSettings::Field& field : CaptureSettings::fields()) {
                if (item.section('=', 0, 0) == field.option &&
                    !settings.set(field, item.section('=', 1).toDouble()))
                    refusedNow << field.option;
            }
        }
        QCOMPARE(refusedNow.join(' '), refused);
        const CaptureGate::Limits l = settings.limits(rate);
        QString shortened;
        const CapturePath::Rings r = settings.rings(rate, bufferSize, partitions, &shortened);
        QCOMPARE(QString("%1 %2 %3 %4 %5 | %6 %7 %8 |%9")
                     .arg(double(l.startLevel), 0, 'g', 4)
                     .arg(double(l.silenceLevel), 0, 'g', 4)
                     .arg(l.stopAfter)
                     .arg(l.gapAfter)
                     .arg(l.minTrack)
                     .arg(r.preRecordFrames)
                     .arg(r.triggerFrames)
                     .arg(r.holdFrames)
                     .arg(shortened.isEmpty() ? "" : " " + shortened.section("; it is ", 1)),
                 expected);
    }

    // The group "CAPTURE" goes through the settings file unchanged; a value out of range is
    // named in the log and its default used.
    void captureSettingsInTheSettingsFile()
    {
        QVERIFY(controller->initializeDriver(kDriver, 44100));
        controller->loadIni("Veloran", "Tessaro Recorder");
        CaptureSettings settings;
        settings.preRecordSeconds = 2.5;
        settings.startLevelDb = -42;
        settings.minTrackSeconds = 0;
        controller->setCaptureSettings(settings);
        controller->saveIni("Veloran", "Tessaro Recorder");
        controller->setCaptureSettings(CaptureSettings());
        controller->loadIni("Veloran", "Tessaro Recorder");
        QVERIFY(controller->captureSettings() == settings);
        {
            QSettings file(QSettings::IniFormat, QSettings::UserScope, "Veloran",
                           "Tessaro Recorder");
            file.setValue("CAPTURE/pre_record_seconds", "45");
            file.setValue("CAPTURE/silence_level_db", "0");
        }
        clearLog();
        controller->loadIni("Veloran", "Tessaro Recorder");
        QCOMPARE(log, QStringList{"CAPTURE/pre_record_seconds must be a number from 0 to 30, "
                                  "not '45'; 0 is used"});
        QCOMPARE(controller->captureSettings().silenceLevelDb, -60.0);
        QCOMPARE(controller->captureSettings().startLevelDb, -42.0);
        controller->setCaptureSettings(CaptureSettings());
        controller->saveIni("Veloran", "Tessaro Recorder");
    }

    // The capture path fed block by block as a driver thread feeds it, every sample of frame n
    // carrying n (loud: n + 2^28, about -18 dBFS; silent: n, below -140 dBFS) in the left input
    // and -n in the right: the files tell which frames they hold, in which order. Buffers of 512
    // samples at 44.1 kHz, so 0.1 s is 9 frames. The script: sN, lN feed N silent or loud
    // frames, "rec" presses record, "stop" stop, "wait" lets the controller see what the driver
    // thread left (a trigger, a stop after silence, a new track).
    void handsFreeCaptureKeepsEveryFrame_data()
    {
        QTest::addColumn<QString>("settings"); // as on the command line, without the dashes
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("files"); // the frames of each file, first-last
        QTest::addColumn<QString>("logged");
        // clang-format off
        QTest::newRow("pre-record") << "pre-record=0.1" << "s20 rec l10 stop" << "11-29" << "";
        QTest::newRow("armed") << "start-level=-40" << "rec s20 l10 wait l10 stop" << "20-39"
            << "armed: waiting for a signal above \u2212""40 dB|a signal reached \u2212""40 dB: recording starts";
        QTest::newRow("armed with pre-record") << "start-level=-40 pre-record=0.1"
            << "rec s20 l10 wait l10 stop" << "11-39" << "";
        QTest::newRow("disarmed") << "start-level=-40" << "rec s5 stop l5 wait" << "" << "disarmed";
        // Silent from frame 10, a gap from 18 on: the new track begins at most 5 frames
        // (0.05 s, half the gap) before the signal returns at 40.
        QTest::newRow("a new track in the gap") << "split-on-silence=0.1 min-track=0"
            << "rec l10 s30 l10 wait s5 l5 stop" << "0-35 36-59"
            << "silence of 0.1 s or more ended: track 2 begins";
        QTest::newRow("two gaps, the second after the longest hold")
            << "split-on-silence=1.2 min-track=0" << "rec l10 s120 l10 s200 l3 wait stop"
            << "0-113 114-296 297-342" << "";
        QTest::newRow("too short a track") << "split-on-silence=0.1 min-track=1"
            << "rec l10 s30 l10 stop" << "0-49" << "";
        QTest::newRow("stop after silence") << "stop-after-silence=0.1" << "rec l5 s20 wait" << "0-24"
            << "the inputs stayed below \u2212""60 dB for 0.1 s: recording stopped";
        QTest::newRow("stopped in a gap, the silence held goes to the file")
            << "split-on-silence=0.1" << "rec l10 s15 stop" << "0-24" << "";
        // clang-format on
    }
    void handsFreeCaptureKeepsEveryFrame()
    {
        QFETCH(QString, settings);
        QFETCH(QString, script);
        QFETCH(QString, files);
        QFETCH(QString, logged);
        QVERIFY(controller->initializeDriver(kDriver, 44100));
        QCOMPARE(controller->bufferSize(), 512L);
        CaptureSettings capture;
        for (const QString& item : settings.split(' '))
            for (const CaptureSettings::Field& field : CaptureSettings::fields())
                if (item.section('=', 0, 0) == field.option)
                    QVERIFY(capture.set(field, item.section('=', 1).toDouble()));
        controller->setCaptureSettings(capture);
        const auto cleanUp = qScopeGuard([this] {
            controller->stopRecording();
            controller->setCaptureSettings(CaptureSettings());
        });
        const QString name = path(QString("hf%1.wav").arg(QTest::currentDataTag()).remove(' '));
        controller->setFileName(name);
        clearLog();
        QVector<qint32> left(512), right(512);
        qint32 fed = 0;
        for (const QString& step : script.split(' ')) {
            if (step == "rec") {
                QVERIFY(controller->startRecording(true));
            } else if (step == "stop") {
                controller->stopRecording();
            } else if (step == "wait") {
                QTest::qWait(200);
            } else {
                const bool loud = step.startsWith('l');
                for (int i = step.mid(1).toInt(); i > 0; --i, ++fed) {
                    std::fill(left.begin(), left.end(), (loud ? 1 << 28 : 0) + fed);
                    std::fill(right.begin(), right.end(), -left[0]);
                    controller->processBuffer(reinterpret_cast<uchar*>(left.data()), 0,
                                              ASIOSTInt32LSB, 512, fed % 2);
                    controller->processBuffer(reinterpret_cast<uchar*>(right.data()), 1,
                                              ASIOSTInt32LSB, 512, fed % 2);
                }
            }
        }
        QVERIFY(!controller->isArmed());
        QTRY_VERIFY_WITH_TIMEOUT(!controller->isRecording() && controller->isIdle(), 10000);
        // The tracks: hf.wav, hf_0002.wav, ... as long as they exist.
        QStringList found;
        for (int track = 1;; ++track) {
            const QString file =
                track == 1 ? name
                           : QString(name).replace(
                                 ".wav", QString("_%1.wav").arg(track, 4, 10, QChar('0')));
            if (!QFile::exists(file))
                break;
            QTRY_VERIFY(closed.contains(file));
            const QByteArray bytes = contents(file);
            QVERIFY(bytes.size() > 44 && (bytes.size() - 44) % (512 * 8) == 0);
            QList<int> frames;
            for (int at = 44; at < bytes.size(); at += 512 * 8) {
                const auto word = [&](int k) {
                    return qFromLittleEndian<qint32>(bytes.constData() + at + 4 * k);
                };
                for (int k = 0; k < 1024; k += 2)
                    QVERIFY2(word(k) == word(0) && word(k + 1) == -word(0), qPrintable(file));
                frames << (word(0) & 0x0fffffff);
            }
            // In order, none missing, none twice.
            for (int i = 1; i < frames.size(); ++i)
                QVERIFY2(frames[i] == frames[0] + i, qPrintable(file));
            found << QString("%1-%2").arg(frames.first()).arg(frames.last());
        }
        QCOMPARE(found.join(' '), files);
        for (const QString& line : logged.split('|', Qt::SkipEmptyParts))
            QVERIFY2(log.contains(line), qPrintable(log.join('\n')));
    }

    // The recording waits through the reconnection and goes on in the same file; the process
    // then ends during the recording, without a stop, and the file is finished all the same.
    // Runs last: the exit path leaves the controller without a writer.
    void unpluggedDeviceComesBackIntoTheSameFileThatTheExitFinishes()
    {
        QVERIFY(controller->initializeDriver(kDevice, 2822400));
        QSignalSpy unplugged(controller, &AsioController::unplugged);
        QSignalSpy ready(controller, &AsioController::driverReady);
        const QString file = path("replug.dsf");
        controller->setFileName(file);
        QVERIFY(controller->startRecording(true));
        QVERIFY(waitRecorded(file, 0.3, 2822400));
        log.clear();
        SimulatedDriver::setUnplugged(true);
        QVERIFY(unplugged.wait(10000));
        QVERIFY(controller->isReconnecting() && controller->isRecording());
        // Two failing attempts at least, while the recording waits.
        QTRY_VERIFY_WITH_TIMEOUT(
            log.count("load driver info failed") +
                    log.count("hardware input or output is not present or available") >=
                2,
            10000);
        QVERIFY(log.contains("recording stopped"));
        const qint64 sizeWhileAway = QFileInfo(file).size();
        SimulatedDriver::setUnplugged(false);
        QVERIFY(ready.wait(10000) && !controller->isReconnecting());
        // A second more of audio after the reconnection, in the same file.
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(file).size() > sizeWhileAway + 2822400 / 4, 20000);
        controller->shutDown();
        QVERIFY(!controller->isRecording() && !controller->isStreaming());
        QVERIFY(!QFile::exists(path("replug_0002.dsf")));
        verifyFile(file, 2822400); // the final header counts exactly the data in the file
    }
};

QTEST_GUILESS_MAIN(TestController)
#include "tst_controller.moc"
