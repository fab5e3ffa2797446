// The simulated device driven through the host layer as the controller drives it: pacing on the
// device clock over a matrix of rates and buffer sizes, the PCM and DSD modes, and unplugging
// from outside the process through the control file.
#include "asiodrivers.h"
#include "asiohoststate.h"
#include "simulateddriver.h"
#include "simulatedpattern.h"

#include <QtTest>
#include <atomic>
#include <chrono>
#include <cmath>

namespace {

double nowNs()
{
    return std::chrono::duration<double, std::nano>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Checks every switch on the driver thread with atomics only: the halves must alternate,
// channel 0 must carry its counting pattern (sample number below the channel's top nibble)
// without a gap, the time stamp of each switch must lie whole buffers after the first one's,
// and no switch may come before its stamp or on the test's own thread.
class SwitchCounter : public AudioBufferProcessor
{
public:
    void processBuffer(unsigned char* data, long channel, ASIOSampleType type, long bufferSize,
                       long half) override
    {
        if (channel != 0)
            return;
        const long n = switches++;
        const bool pcm = type == ASIOSTInt32LSB;
        const quint32 first =
            pcm ? qFromLittleEndian<quint32>(data) : qFromBigEndian<quint32>(data);
        const quint64 sample = quint64(n) * quint64(pcm ? bufferSize : bufferSize / 32);
        const double stamp = AsioHostState::instance()->lastSystemTimeNs;
        if (n == 0)
            firstStamp = stamp;
        if (half != n % 2 || first != ((1u << 28) | quint32(sample & 0x0fffffffu)) ||
            std::abs(stamp - firstStamp - n * periodNs) > 2 || nowNs() < stamp)
            ++faults;
        if (stopFromInside.exchange(false))
            stopResult = ASIOStop();
        onTestThread += QThread::currentThread() == qApp->thread();
    }
    void driverResetRequested() override
    {
        ++resets;
        onTestThread += QThread::currentThread() == qApp->thread();
    }

    std::atomic<long> switches{0}, faults{0}, resets{0}, onTestThread{0}, stopResult{1};
    std::atomic<double> periodNs{0}, firstStamp{0};
    std::atomic<bool> stopFromInside{false};
};

} // namespace

class TestSimulatedDriver : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    QString controlFile;
    SwitchCounter counter;

    static AsioHostState& host() { return *AsioHostState::instance(); }

    static ASIOError setIoFormat(ASIOIoFormatType type)
    {
        ASIOIoFormat format{int32_t(type), {}};
        return ASIOFuture(kAsioSetIoFormat, &format);
    }
    static QString formatAndRate()
    {
        ASIOIoFormat format{kASIOFormatInvalid, {}};
        double rate = 0;
        ASIOFuture(kAsioGetIoFormat, &format);
        ASIOGetSampleRate(&rate);
        return (format.FormatType == kASIODSDFormat ? "DSD " : "PCM ") +
               QString::number(rate, 'f', 0);
    }
    static bool loadAndInit()
    {
        return loadAsioDriver("Halvik Simulated Device") && ASIOInit(&host().driverInfo) == ASE_OK;
    }
    // Brings the device to created buffers of the given size at the rate.
    static bool bringUp(double rate, long bufferSize)
    {
        if (!loadAndInit() || (rate >= 2822400 && setIoFormat(kASIODSDFormat) != ASE_SUCCESS))
            return false;
        host().installAsioCallbacks();
        if (ASIOSetSampleRate(rate) != ASE_OK || initAsioStaticData(host()) != 0)
            return false;
        host().preferredBufferSize = bufferSize;
        return host().createAsioBuffers(host()) == ASE_OK;
    }

private slots:
    void initTestCase()
    {
        controlFile = dir.filePath("unplugged");
        qputenv("TESSARO_SIMULATED_UNPLUG_FILE", controlFile.toLocal8Bit());
        registerSimulatedDriver();
        SimulatedDriver::setSignal(SimulatedDriver::Signal::Pattern);
        host().setBufferProcessor(&counter);
    }

    void cleanup()
    {
        ASIOStop();
        ASIOExit();
        QFile::remove(controlFile);
        QCOMPARE(counter.onTestThread.load(), 0L);
        counter.switches = counter.faults = counter.resets = 0;
    }

    // Sizes: minimum, preferred, maximum and granularity the driver offers at the rate. The
    // device clock: each switch stamped whole buffers after the start and never delivered early.
    void pacesBufferSwitchesOnTheDeviceClock_data()
    {
        QTest::addColumn<double>("rate");
        QTest::addColumn<long>("bufferSize");
        QTest::addColumn<QString>("sizes");
        QTest::newRow("44.1 kHz, 64") << 44100.0 << 64L << "64 512 8192 -1";
        QTest::newRow("384 kHz, 8192") << 384000.0 << 8192L << "64 512 8192 -1";
        QTest::newRow("DSD 1x, 4096") << 2822400.0 << 4096L << "1024 4096 32768 -1";
        QTest::newRow("DSD 2x, 2048") << 5644800.0 << 2048L << "2048 8192 65536 -1";
        QTest::newRow("DSD 4x, 16384") << 11289600.0 << 16384L << "4096 16384 131072 -1";
    }

    void pacesBufferSwitchesOnTheDeviceClock()
    {
        QFETCH(double, rate);
        QFETCH(long, bufferSize);
        QFETCH(QString, sizes);
        QVERIFY(bringUp(rate, bufferSize));
        long min = 0, max = 0, preferred = 0, granularity = 0;
        QCOMPARE(ASIOGetBufferSize(&min, &max, &preferred, &granularity), ASE_OK);
        QCOMPARE(QString("%1 %2 %3 %4").arg(min).arg(preferred).arg(max).arg(granularity), sizes);
        const double period = bufferSize * 1e9 / rate;
        counter.periodNs = period;
        const double before = nowNs();
        QCOMPARE(ASIOStart(), ASE_OK);
        const double after = nowNs();
        QTRY_VERIFY_WITH_TIMEOUT(counter.switches >= 40, 30000);
        QCOMPARE(ASIOStop(), ASE_OK);
        const long delivered = counter.switches;
        // The first switch is due one buffer after the start; the counter checked the rest.
        QVERIFY(counter.firstStamp >= before + period - 2 &&
                counter.firstStamp <= after + period + 2);
        QCOMPARE(counter.faults.load(), 0L); // also a wrong sample type or size for the data
        QTest::qWait(100);                   // room for a switch that should not come
        QCOMPARE(counter.switches.load(), delivered);
    }

    // (The rates the device accepts show in the command line's device list; the program sets
    // only those of the format it chose.)
    void formatDecidesTheRatesThatCanBeSet()
    {
        QVERIFY(loadAndInit());
        QCOMPARE(formatAndRate(), QString("PCM 44100"));
        QCOMPARE(ASIOSetSampleRate(192000), ASE_OK);
        QCOMPARE(setIoFormat(kASIODSDFormat), ASE_SUCCESS);
        QCOMPARE(formatAndRate(), QString("DSD 2822400")); // a PCM rate does not survive the switch
        QCOMPARE(ASIOSetSampleRate(5644800), ASE_OK);
        QCOMPARE(setIoFormat(kASIOPCMFormat), ASE_SUCCESS);
        QCOMPARE(formatAndRate(), QString("PCM 44100"));
    }

    // A stop from inside a switch is refused instead of deadlocking; then the control file
    // unplugs the device: one reset request, no switch after it, init refused until it goes.
    // (The stream coming back after a reconnection is the controller tests' concern.)
    void controlFileUnplugsAndReplugs()
    {
        QVERIFY(bringUp(48000, 256));
        counter.periodNs = 256 * 1e9 / 48000;
        counter.stopFromInside = true;
        QCOMPARE(ASIOStart(), ASE_OK);
        QTRY_COMPARE(counter.stopResult.load(), long(ASE_InvalidMode));
        QTRY_VERIFY(counter.switches > 10); // still streaming
        QVERIFY(QFile(controlFile).open(QIODevice::WriteOnly));
        QTRY_COMPARE(counter.resets.load(), 1L);
        const long atUnplug = counter.switches;
        QTest::qWait(500); // room for a repeated request or a switch that should not come
        QCOMPARE(QString("%1 %2").arg(counter.switches).arg(counter.resets),
                 QString("%1 1").arg(atUnplug));
        QCOMPARE(counter.faults.load(), 0L);

        ASIOStop();
        ASIOExit();
        QVERIFY(loadAsioDriver("Halvik Simulated Device"));
        QCOMPARE(ASIOInit(&host().driverInfo), ASE_NotPresent);
        QCOMPARE(QByteArray(host().driverInfo.errorMessage), QByteArray("device unplugged"));
        QVERIFY(QFile::remove(controlFile));
        QVERIFY(loadAndInit());
    }

    // TESSARO_SIMULATED_PATTERN: which samples of a buffer keep the tone, across the end of the
    // programme, where it repeats; DSD in whole bytes of its silence, 0x69. A programme that
    // cannot be read is refused with the step at fault, and then gates nothing.
    void programmeGatesTheTone_data()
    {
        QTest::addColumn<QString>("programme");
        QTest::addColumn<double>("rate");
        QTest::addColumn<bool>("dsd");
        QTest::addColumn<int>("first");
        QTest::addColumn<int>("samples");
        // "T" a sample (DSD: a byte) kept, "." one silenced; else the reason for a refusal
        QTest::addColumn<QString>("expected");
        QTest::newRow("into a tone")
            << "silence:2,tone:3" << 10.0 << false << 15 << 10 << ".....TTTTT";
        QTest::newRow("over the repeat")
            << "silence:2,tone:3" << 10.0 << false << 45 << 10 << "TTTTT.....";
        QTest::newRow("a second period, fractions")
            << "tone:0.5,silence:1.5,tone:0.3" << 10.0 << false << 20 << 12 << "TTTTTTTT....";
        QTest::newRow("DSD bytes")
            << "tone:0.5,silence:0.25" << 128.0 << true << 56 << 64 << "T....TTT";
        QTest::newRow("empty") << "" << 10.0 << false << 0 << 4 << "TTTT";
        QTest::newRow("unknown step") << "tone:3,noise:2" << 10.0 << false << 0 << 4
                                      << "'noise:2' is not tone:SECONDS or silence:SECONDS (more "
                                         "than 0, at most 86400)";
        QTest::newRow("no time") << "tone:" << 10.0 << false << 0 << 4
                                 << "'tone:' is not tone:SECONDS or silence:SECONDS (more than "
                                    "0, at most 86400)";
        QTest::newRow("a trailing comma") << "tone:1," << 10.0 << false << 0 << 4
                                          << "'' is not tone:SECONDS or silence:SECONDS (more "
                                             "than 0, at most 86400)";
        QTest::newRow("zero") << "silence:0" << 10.0 << false << 0 << 4
                              << "'silence:0' is not tone:SECONDS or silence:SECONDS (more than "
                                 "0, at most 86400)";
    }
    void programmeGatesTheTone()
    {
        QFETCH(QString, programme);
        QFETCH(double, rate);
        QFETCH(bool, dsd);
        QFETCH(int, first);
        QFETCH(int, samples);
        QFETCH(QString, expected);
        SimulatedPattern pattern;
        QString problem;
        const bool read = pattern.parse(programme, &problem);
        pattern.prepare(rate);
        const int unit = dsd ? 8 : 1; // samples a mark stands for
        QByteArray data(dsd ? samples / 8 : samples * 4, '\x55');
        pattern.gate(reinterpret_cast<uchar*>(data.data()), samples, quint64(first), dsd);
        QString seen;
        for (int i = 0; i < samples / unit; ++i) {
            const QByteArray at = data.mid(dsd ? i : 4 * i, dsd ? 1 : 4);
            seen += at == QByteArray(at.size(), '\x55')                ? 'T'
                    : at == QByteArray(at.size(), dsd ? '\x69' : '\0') ? '.'
                                                                       : '?';
        }
        QCOMPARE(read ? seen : problem, expected);
        QCOMPARE(pattern.isActive(), read && !programme.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestSimulatedDriver)
#include "tst_simulateddriver.moc"
