// The recorder's core built as start-up builds it, on the simulated device, into real files
// that ffprobe and ffmpeg read back.
#include "asiocontroller.h"
#include "asiodrivers.h"
#include "asiohoststate.h"
#include "audiofilewriter.h"
#include "mediaprobe.h"
#include "partitionmanager.h"
#include "simulateddriver.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>
#include <atomic>
#include <sched.h>
#include <thread>
#include <vector>

namespace {
const QString kDevice = QString::fromLatin1(SimulatedDriver::kDescription);
}

class TestControllerE2E : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    AsioController* controller = nullptr;
    QSharedPointer<PartitionManager> pool;
    QStringList log;

    QString path(const QString& name) { return QDir(dir.path()).absoluteFilePath(name); }

    bool recordFor(const QString& file, int ms)
    {
        controller->setFileName(file);
        if (!controller->startRecording(true))
            return false;
        QTest::qWait(ms);
        controller->stopRecording();
        return QTest::qWaitFor([&] { return controller->isIdle(); }, 10000)
               && QTest::qWaitFor([&] { return QFileInfo(file).size() > 100; }, 2000);
    }

    // Checks the pattern words of a stereo WAV from sample `first` on; returns the next
    // expected sample number, or -1 at the first word out of order.
    qint64 checkPattern(const QString& file, qint64 first)
    {
        QFile f(file);
        if (!f.open(QIODevice::ReadOnly))
            return -1;
        const QByteArray bytes = f.readAll();
        qint64 n = first;
        for (int pos = 44; pos + 8 <= bytes.size(); pos += 8, ++n) {
            if (qFromLittleEndian<quint32>(bytes.constData() + pos) != SimulatedDriver::patternWord(0, n)
                || qFromLittleEndian<quint32>(bytes.constData() + pos + 4)
                       != SimulatedDriver::patternWord(1, n))
                return -1;
        }
        return n;
    }

private slots:
    void initTestCase()
    {
        registerSimulatedDriver();
        AsioHostState* host = AsioHostState::instance();
        QSharedPointer<AsioDrivers> drivers(new AsioDrivers);
        pool.reset(new PartitionManager(64u << 20));
        QSharedPointer<AudioFileWriter> writer(new AudioFileWriter(pool));
        controller = new AsioController(host, drivers, pool, writer, 64, this);
        writer->setParent(controller);
        host->setBufferProcessor(controller);
        connect(controller,
                qOverload<QString, QString, QString, QColor, QColor>(&AsioController::logMsg),
                this, [this](QString msg) { log << msg; });
        controller->scanDrivers();
        controller->scanSamplingRate();
        QVERIFY(controller->driverNames().contains(kDevice));
    }

    void cleanupTestCase()
    {
        controller->unloadCurrentDriver();
        SimulatedDriver::setSignal(SimulatedDriver::Signal::Tone);
    }

    void recordsEachChannelsToneInEveryFormat_data()
    {
        QTest::addColumn<double>("rate");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("format");
        QTest::newRow("DSD 1x to dsf") << 2822400.0 << "t1.dsf" << "dsf";
        QTest::newRow("DSD 2x to dff") << 5644800.0 << "t2.dff" << "iff";
        QTest::newRow("44.1 kHz to wav") << 44100.0 << "t3.wav" << "wav";
        QTest::newRow("192 kHz to wav") << 192000.0 << "t4.wav" << "wav";
    }

    void recordsEachChannelsToneInEveryFormat()
    {
        QFETCH(double, rate);
        QFETCH(QString, name);
        QFETCH(QString, format);
        SimulatedDriver::setSignal(SimulatedDriver::Signal::Tone);
        QVERIFY(controller->initializeDriver(kDevice, rate));
        QCOMPARE(controller->sampleRate(), rate);
        QVERIFY(controller->isStreaming());
        QElapsedTimer clock;
        clock.start();
        QVERIFY(recordFor(path(name), 1500));
        const MediaInfo info = MediaProbe::probe(path(name));
        QVERIFY(info.ok);
        QCOMPARE(info.formatName, format);
        QCOMPARE(info.channels, 2);
        // Between the flag going up and down lie 1.5 s; two buffers of slack either side.
        const double buffer = controller->bufferSize() / rate;
        QVERIFY2(std::abs(info.duration - 1.5) < 0.1 + 2 * buffer,
                 qPrintable(QString::number(info.duration)));
        const int decodeRate = rate > 384000 ? 88200 : 0;
        const auto decoded = MediaProbe::decode(path(name), decodeRate);
        QCOMPARE(decoded.size(), 2);
        const int measuredRate = decodeRate ? decodeRate : int(rate);
        QCOMPARE(MediaProbe::dominantFrequency(decoded[0], measuredRate), SimulatedDriver::kToneHz[0]);
        QCOMPARE(MediaProbe::dominantFrequency(decoded[1], measuredRate), SimulatedDriver::kToneHz[1]);
    }

    void patternRunsOnAcrossTracksAndParts()
    {
        SimulatedDriver::setSignal(SimulatedDriver::Signal::Pattern);
        QVERIFY(controller->initializeDriver(kDevice, 48000));
        const qint64 frame = 2 * 4 * controller->bufferSize();
        controller->setAutoSplitSize(44 + 20 * frame);
        controller->setFileName(path("pat.wav"));
        QVERIFY(controller->startRecording(true));
        QTest::qWait(500);
        controller->recordNextTrack();
        QTest::qWait(500);
        controller->stopRecording();
        QVERIFY(QTest::qWaitFor([&] { return controller->isIdle(); }, 10000));
        QTest::qWait(200);
        controller->setAutoSplitSize(0);
        const QStringList files = QDir(dir.path()).entryList({"pat*.wav"}, QDir::Files, QDir::Name);
        QVERIFY2(files.size() >= 4, qPrintable(files.join(',')));
        QVERIFY(files.contains("pat_part0002.wav"));
        QVERIFY(files.contains("pat_0002.wav"));
        // Tracks continue the parts of the first take: pat, pat_part0002.. then pat_0002...
        QStringList ordered;
        for (const QString& f : files)
            if (!f.startsWith("pat_0002"))
                ordered << f;
        for (const QString& f : files)
            if (f.startsWith("pat_0002"))
                ordered << f;
        ordered.removeOne("pat.wav");
        ordered.prepend("pat.wav");
        // The first sample is where the recording began: read it from the file itself.
        QFile first(path("pat.wav"));
        QVERIFY(first.open(QIODevice::ReadOnly));
        const QByteArray head = first.read(48);
        qint64 n = qFromLittleEndian<quint32>(head.constData() + 44) & 0x0fffffff;
        for (const QString& f : ordered) {
            n = checkPattern(path(f), n);
            QVERIFY2(n > 0, qPrintable(f));
        }
    }

    void unpluggedDeviceComesBackIntoTheSameFile()
    {
        SimulatedDriver::setSignal(SimulatedDriver::Signal::Tone);
        QVERIFY(controller->initializeDriver(kDevice, 44100));
        QSignalSpy unplugged(controller, &AsioController::unplugged);
        QSignalSpy ready(controller, &AsioController::driverReady);
        controller->setFileName(path("replug.wav"));
        QVERIFY(controller->startRecording(true));
        QTest::qWait(400);
        log.clear();
        SimulatedDriver::setUnplugged(true);
        QVERIFY(unplugged.wait(3000));
        QVERIFY(controller->isReconnecting());
        QVERIFY(controller->isRecording());
        QTest::qWait(2300);  // two failing attempts at least
        QVERIFY(log.count("recording stopped") >= 1);
        QVERIFY(log.count("load driver info failed") + log.count("hardware input or output is not present or available") >= 2);
        const qint64 sizeWhileAway = QFileInfo(path("replug.wav")).size();
        SimulatedDriver::setUnplugged(false);
        QVERIFY(ready.wait(3000));
        QVERIFY(!controller->isReconnecting());
        QTest::qWait(500);
        controller->stopRecording();
        QVERIFY(QTest::qWaitFor([&] { return controller->isIdle(); }, 10000));
        QTest::qWait(200);
        QVERIFY(QFileInfo(path("replug.wav")).size() > sizeWhileAway + 44100 * 8 / 4);
        QVERIFY(!QFile::exists(path("replug_0002.wav")));
        QVERIFY(MediaProbe::probe(path("replug.wav")).duration > 0.8);
    }

    // A writer starved of CPU cannot keep up: the pool fills, the recording stops once with
    // "buffer is full", and what was queued still reaches a valid file, whole and in order.
    void starvedWriterFillsThePoolAndLosesNothingQueued()
    {
        AsioHostState* host = AsioHostState::instance();
        controller->unloadCurrentDriver();
        const quint32 poolBytes = 1u << 20;
        QSharedPointer<PartitionManager> smallPool(new PartitionManager(poolBytes));
        QSharedPointer<AudioFileWriter> writer(new AudioFileWriter(smallPool));
        QStringList starvedLog;
        QScopedPointer<AsioController> starved(
            new AsioController(host, QSharedPointer<AsioDrivers>(new AsioDrivers), smallPool, writer, 1));
        host->setBufferProcessor(starved.data());
        connect(starved.data(), qOverload<QString, QString, QString, QColor, QColor>(&AsioController::logMsg),
                starved.data(), [&](QString msg) { starvedLog << msg; });
        starved->scanDrivers();
        SimulatedDriver::setSignal(SimulatedDriver::Signal::Pattern);
        QVERIFY(starved->initializeDriver(kDevice, 384000));

        // One CPU for every thread of this process, busy threads on it, and the writer at
        // idle priority: it gets almost nothing while the device thread keeps its pace.
        cpu_set_t all, one;
        QCOMPARE(sched_getaffinity(0, sizeof all, &all), 0);
        CPU_ZERO(&one);
        CPU_SET(sched_getcpu(), &one);
        QCOMPARE(sched_setaffinity(0, sizeof one, &one), 0);
        std::atomic<bool> spin{true};
        std::vector<std::thread> hogs;
        for (int i = 0; i < 8; ++i)
            hogs.emplace_back([&spin] { while (spin) {} });
        const QString file = path("starved.wav");
        starved->setFileName(file);
        const bool started = starved->startRecording(true);
        if (started)
            writer->setPriority(QThread::IdlePriority);
        const bool full = started && QTest::qWaitFor([&] { return starvedLog.contains("buffer is full"); }, 20000);
        spin = false;
        for (std::thread& t : hogs)
            t.join();
        sched_setaffinity(0, sizeof all, &all);
        QVERIFY(started);
        QVERIFY(full);

        QVERIFY(!starved->isRecording());
        QVERIFY(QTest::qWaitFor([&] { return starved->isIdle(); }, 20000));
        QTest::qWait(300);
        QCOMPARE(starvedLog.count("buffer is full"), 1);
        QVERIFY(starvedLog.filter("writer error").isEmpty());
        starved->unloadCurrentDriver();
        host->setBufferProcessor(controller);

        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const qint64 dataBytes = f.size() - 44;
        QVERIFY2(dataBytes >= qint64(poolBytes) * 9 / 10, qPrintable(QString::number(dataBytes)));
        f.seek(44);
        const qint64 first = qFromLittleEndian<quint32>(f.read(4).constData()) & 0x0fffffff;
        f.close();
        const qint64 end = checkPattern(file, first);
        QCOMPARE(end - first, dataBytes / 8);  // every sample in order, none repeated or lost
        QCOMPARE((end - first) % starved->bufferSize(), 0);  // whole buffer switches only
        const MediaInfo info = MediaProbe::probe(file);
        QVERIFY(info.ok);
        QVERIFY(std::abs(info.duration - double(dataBytes / 8) / 384000) < 0.001);
    }

    // Runs last: the exit path leaves the controller without a writer.
    void shutDownFinishesTheFileWhileRecording()
    {
        SimulatedDriver::setSignal(SimulatedDriver::Signal::Pattern);
        QVERIFY(controller->initializeDriver(kDevice, 2822400));
        const QString file = path("exit.dsf");
        controller->setFileName(file);
        QVERIFY(controller->startRecording(true));
        QTest::qWait(1000);
        controller->shutDown();  // no stop before: the process is ending during a recording
        QVERIFY(!controller->isRecording());
        QVERIFY(!controller->isStreaming());
        // The final header describes exactly the data in the file.
        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray bytes = f.readAll();
        QVERIFY(bytes.size() > 92);
        QCOMPARE(qFromLittleEndian<quint64>(bytes.constData() + 12), quint64(bytes.size()));
        const MediaInfo info = MediaProbe::probe(file);
        QVERIFY(info.ok);
        QVERIFY2(std::abs(info.duration - 1.0) < 0.2, qPrintable(QString::number(info.duration)));
    }
};

QTEST_GUILESS_MAIN(TestControllerE2E)
#include "tst_controller_e2e.moc"
