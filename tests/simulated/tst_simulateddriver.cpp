// The simulated device driven through the host layer as the controller drives it: real-time
// pacing over a matrix of rates and buffer sizes, the PCM and DSD modes, and unplugging from
// outside the process through the control file.
#include "asiodrivers.h"
#include "asiohoststate.h"
#include "simulateddriver.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QtEndian>
#include <QtTest>
#include <atomic>

namespace {

// Checks every switch on the driver thread with atomics only: the halves must alternate and
// channel 0 must carry the pattern without a gap.
class SwitchCounter : public AudioBufferProcessor
{
public:
    void processBuffer(unsigned char* data, long channel, ASIOSampleType type, long bufferSize,
                       long half) override
    {
        if (channel != 0)
            return;
        lastType = type;
        lastSize = bufferSize;
        const long n = switches++;
        if (half != n % 2)
            ++faults;
        const uint64_t wordsPerSwitch = type == ASIOSTInt32LSB ? uint64_t(bufferSize) : uint64_t(bufferSize) / 32;
        const uint32_t first = type == ASIOSTInt32LSB ? qFromLittleEndian<quint32>(data)
                                                      : qFromBigEndian<quint32>(data);
        if (first != SimulatedDriver::patternWord(0, uint64_t(n) * wordsPerSwitch))
            ++faults;
        if (stopFromInside.exchange(false))
            stopResult = ASIOStop();
        deviceThread = QThread::currentThread();
    }
    void driverResetRequested() override
    {
        ++resets;
        resetThread = QThread::currentThread();
    }

    std::atomic<long> switches{0}, faults{0}, resets{0}, lastType{-1}, lastSize{0};
    std::atomic<bool> stopFromInside{false};
    std::atomic<long> stopResult{1};
    std::atomic<QThread*> deviceThread{nullptr}, resetThread{nullptr};
};

AsioHostState& host()
{
    return *AsioHostState::instance();
}

ASIOError setIoFormat(ASIOIoFormatType type)
{
    ASIOIoFormat format{};
    format.FormatType = type;
    return ASIOFuture(kAsioSetIoFormat, &format);
}

ASIOIoFormatType ioFormat()
{
    ASIOIoFormat format{};
    format.FormatType = kASIOFormatInvalid;
    return ASIOFuture(kAsioGetIoFormat, &format) == ASE_SUCCESS ? format.FormatType
                                                                 : kASIOFormatInvalid;
}

bool loadAndInit()
{
    return loadAsioDriver(SimulatedDriver::kDescription) && ASIOInit(&host().driverInfo) == ASE_OK;
}

// Brings the device to created buffers of the given size at the rate.
bool bringUp(double rate, long bufferSize)
{
    if (!loadAndInit())
        return false;
    host().installAsioCallbacks();
    const bool dsd = rate >= SimulatedDriver::kDsdBaseRate;
    if (dsd && setIoFormat(kASIODSDFormat) != ASE_SUCCESS)
        return false;
    if (ASIOSetSampleRate(rate) != ASE_OK || initAsioStaticData(host()) != 0)
        return false;
    host().preferredBufferSize = bufferSize;
    return host().createAsioBuffers(host()) == ASE_OK;
}

} // namespace

class TestSimulatedDriver : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    QString controlFile;
    SwitchCounter counter;

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
        counter.switches = counter.faults = counter.resets = 0;
    }

    void pacesBufferSwitchesInRealTime_data()
    {
        QTest::addColumn<double>("rate");
        QTest::addColumn<long>("bufferSize");
        QTest::addColumn<long>("sampleType");
        QTest::newRow("44.1 kHz, 64") << 44100.0 << 64L << long(ASIOSTInt32LSB);
        QTest::newRow("44.1 kHz, 512") << 44100.0 << 512L << long(ASIOSTInt32LSB);
        QTest::newRow("96 kHz, 1024") << 96000.0 << 1024L << long(ASIOSTInt32LSB);
        QTest::newRow("384 kHz, 8192") << 384000.0 << 8192L << long(ASIOSTInt32LSB);
        QTest::newRow("DSD 1x, 4096") << 2822400.0 << 4096L << long(ASIOSTDSDInt8MSB1);
        QTest::newRow("DSD 2x, 2048") << 5644800.0 << 2048L << long(ASIOSTDSDInt8MSB1);
        QTest::newRow("DSD 4x, 16384") << 11289600.0 << 16384L << long(ASIOSTDSDInt8MSB1);
    }

    void pacesBufferSwitchesInRealTime()
    {
        QFETCH(double, rate);
        QFETCH(long, bufferSize);
        QFETCH(long, sampleType);
        QVERIFY(bringUp(rate, bufferSize));
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(ASIOStart(), ASE_OK);
        QTest::qWait(1500);
        const double seconds = clock.nsecsElapsed() / 1e9;
        QCOMPARE(ASIOStop(), ASE_OK);
        const long delivered = counter.switches;
        // Loose on purpose: a loaded machine wakes late, but the device catches up.
        const double predicted = seconds * rate / bufferSize;
        QVERIFY2(delivered >= 0.8 * predicted - 2 && delivered <= predicted + 2,
                 qPrintable(QString("%1 switches for %2 predicted").arg(delivered).arg(predicted)));
        QCOMPARE(counter.faults.load(), 0L);
        QCOMPARE(counter.lastType.load(), sampleType);
        QCOMPARE(counter.lastSize.load(), bufferSize);
        QVERIFY(counter.deviceThread.load() != QThread::currentThread());
        QTest::qWait(100);
        QCOMPARE(counter.switches.load(), delivered);  // nothing after stop
    }

    void modesRatesAndFormats()
    {
        QVERIFY(loadAndInit());
        long inputs = 0, outputs = 0;
        QCOMPARE(ASIOGetChannels(&inputs, &outputs), ASE_OK);
        QCOMPARE(inputs, 2L);
        QCOMPARE(outputs, 2L);
        const double rates[] = {44100,  48000,  88200,   96000,   176400,  192000,
                                352800, 384000, 2822400, 5644800, 11289600};
        for (double rate : rates)
            QCOMPARE(ASIOCanSampleRate(rate), ASE_OK);
        QVERIFY(ASIOCanSampleRate(32000) != ASE_OK);

        QCOMPARE(ioFormat(), kASIOPCMFormat);
        QVERIFY(ASIOSetSampleRate(2822400) != ASE_OK);
        QCOMPARE(ASIOSetSampleRate(192000), ASE_OK);
        checkBuffersAndType(64, 512, 8192, ASIOSTInt32LSB);

        QCOMPARE(setIoFormat(kASIODSDFormat), ASE_SUCCESS);
        QCOMPARE(ioFormat(), kASIODSDFormat);
        double rate = 0;
        QCOMPARE(ASIOGetSampleRate(&rate), ASE_OK);
        QCOMPARE(rate, 2822400.0);  // a PCM rate does not survive the switch to DSD
        QVERIFY(ASIOSetSampleRate(44100) != ASE_OK);
        QCOMPARE(ASIOSetSampleRate(5644800), ASE_OK);
        checkBuffersAndType(2048, 8192, 65536, ASIOSTDSDInt8MSB1);

        QCOMPARE(setIoFormat(kASIOPCMFormat), ASE_SUCCESS);
        QCOMPARE(ASIOGetSampleRate(&rate), ASE_OK);
        QCOMPARE(rate, 44100.0);
        checkBuffersAndType(64, 512, 8192, ASIOSTInt32LSB);
    }

    void controlFileUnplugsAndReplugs()
    {
        QVERIFY(bringUp(48000, 256));
        QCOMPARE(ASIOStart(), ASE_OK);
        QTRY_VERIFY(counter.switches > 10);
        QFile file(controlFile);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QTRY_COMPARE_WITH_TIMEOUT(counter.resets.load(), 1L, 2000);
        QVERIFY(counter.resetThread.load() != QThread::currentThread());
        const long atUnplug = counter.switches;
        QTest::qWait(500);
        QCOMPARE(counter.switches.load(), atUnplug);
        QCOMPARE(counter.resets.load(), 1L);  // one request, not one per check of the file
        QCOMPARE(counter.faults.load(), 0L);

        ASIOStop();
        ASIOExit();
        QVERIFY(loadAsioDriver(SimulatedDriver::kDescription));
        QCOMPARE(ASIOInit(&host().driverInfo), ASE_NotPresent);
        QCOMPARE(QByteArray(host().driverInfo.errorMessage), QByteArray("device unplugged"));
        QVERIFY(QFile::remove(controlFile));
        counter.switches = 0;
        QVERIFY(bringUp(48000, 256));
        QCOMPARE(ASIOStart(), ASE_OK);
        QTRY_VERIFY(counter.switches > 10);
        QCOMPARE(counter.faults.load(), 0L);  // the pattern starts again from the new start
    }

    void stopFromItsOwnThreadIsRefused()
    {
        QVERIFY(bringUp(44100, 64));
        counter.stopFromInside = true;
        QCOMPARE(ASIOStart(), ASE_OK);
        QTRY_COMPARE(counter.stopResult.load(), long(ASE_InvalidMode));
        const long before = counter.switches;
        QTRY_VERIFY(counter.switches > before + 5);  // still streaming
        QCOMPARE(ASIOStop(), ASE_OK);
    }

private:
    void checkBuffersAndType(long min, long preferred, long max, ASIOSampleType type)
    {
        long mn = 0, mx = 0, pref = 0, granularity = 0;
        QCOMPARE(ASIOGetBufferSize(&mn, &mx, &pref, &granularity), ASE_OK);
        QCOMPARE((QList<long>{mn, pref, mx, granularity}), (QList<long>{min, preferred, max, -1}));
        for (long channel = 0; channel < 2; ++channel) {
            ASIOChannelInfo info{};
            info.channel = channel;
            info.isInput = ASIOTrue;
            QCOMPARE(ASIOGetChannelInfo(&info), ASE_OK);
            QCOMPARE(info.type, long(type));
        }
    }
};

QTEST_GUILESS_MAIN(TestSimulatedDriver)
#include "tst_simulateddriver.moc"
