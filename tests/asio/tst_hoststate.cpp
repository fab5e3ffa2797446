#include "tst_hoststate.h"

#include "asiodrivers.h"
#include "asiohoststate.h"
#include "asiotestfixture.h"
#include "testdriver.h"

#include <QMutex>
#include <QThread>
#include <QtTest>
#include <atomic>

using F = AsioTestFixture;

namespace {

struct ProcessCall
{
    unsigned char* data;
    long channel;
    ASIOSampleType type;
    long bufferSize;
    long half;
};

class RecordingProcessor : public AudioBufferProcessor
{
public:
    void processBuffer(unsigned char* data, long channel, ASIOSampleType type, long bufferSize,
                       long half) override
    {
        QMutexLocker lock(&mutex);
        calls.append({data, channel, type, bufferSize, half});
        threads.append(QThread::currentThread());
    }
    void driverResetRequested() override { ++resets; }

    QMutex mutex;
    QVector<ProcessCall> calls;
    QVector<QThread*> threads;
    std::atomic<int> resets{0};
};

AsioHostState& host()
{
    return *AsioHostState::instance();
}

// Loads the host test driver with the script and brings it to created buffers.
TestDriver* bringUp(const TestDriverScript& script)
{
    TestDriver::setScript(F::kHost, script);
    if (!loadAsioDriver(F::kHost) || ASIOInit(&host().driverInfo) != ASE_OK)
        return nullptr;
    host().installAsioCallbacks();
    if (initAsioStaticData(host()) != 0 || host().createAsioBuffers(host()) != ASE_OK)
        return nullptr;
    return TestDriver::current(F::kHost);
}

int countOf(const QStringList& calls, const QString& name)
{
    return int(std::count(calls.begin(), calls.end(), name));
}

} // namespace

void TestHostState::init()
{
    TestDriver::clearCalls(F::kHost);
}

void TestHostState::cleanup()
{
    host().setBufferProcessor(nullptr);
    ASIOExit();
}

void TestHostState::eightByEightDeviceGetsTwoPlusTwoBuffers()
{
    TestDriverScript script;
    script.inputs = 8;
    script.outputs = 8;
    script.pcmSampleType = ASIOSTInt24LSB;
    TestDriver* driver = bringUp(script);
    QVERIFY(driver);
    QCOMPARE(host().inputChannelCount, 8L);
    QCOMPARE(host().inputBufferCount, 2L);
    QCOMPARE(host().outputBufferCount, 2L);
    const QVector<ASIOBufferInfo> given = driver->createdBuffers();
    QCOMPARE(given.size(), 4);
    const long expected[4][2] = {{ASIOTrue, 0}, {ASIOTrue, 1}, {ASIOFalse, 0}, {ASIOFalse, 1}};
    for (int k = 0; k < 4; ++k) {
        QCOMPARE(given[k].isInput, expected[k][0]);
        QCOMPARE(given[k].channelNum, expected[k][1]);
        QCOMPARE(host().bufferInfos[k].isInput, expected[k][0]);
        QCOMPARE(host().bufferInfos[k].channelNum, expected[k][1]);
        QVERIFY(host().bufferInfos[k].buffers[0] && host().bufferInfos[k].buffers[1]);
        QCOMPARE(host().channelInfos[k].channel, expected[k][1]);
        QCOMPARE(host().channelInfos[k].isInput, expected[k][0]);
        QCOMPARE(host().channelInfos[k].type, long(ASIOSTInt24LSB));
    }
    QCOMPARE(driver->createdBufferSize(), 512L);
    QCOMPARE(host().inputLatency, 512L);
    QCOMPARE(host().outputLatency, 1024L);
}

void TestHostState::twoInputsNoOutputsGiveTwoCallsPerSwitch()
{
    TestDriverScript script;
    script.outputs = 0;
    script.preferredBufferSize = 256;
    TestDriver* driver = bringUp(script);
    QVERIFY(driver);
    QCOMPARE(host().inputBufferCount + host().outputBufferCount, 2L);
    RecordingProcessor processor;
    host().setBufferProcessor(&processor);
    driver->fireBufferSwitch(0);
    driver->fireBufferSwitch(1);
    driver->fireBufferSwitch(0);
    QCOMPARE(processor.calls.size(), 6);
    const long halves[3] = {0, 1, 0};
    for (int i = 0; i < 6; ++i) {
        const ProcessCall& c = processor.calls[i];
        const long half = halves[i / 2];
        QCOMPARE(c.channel, long(i % 2));
        QCOMPARE(c.half, half);
        QCOMPARE(c.bufferSize, 256L);
        QCOMPARE(c.type, long(ASIOSTInt32LSB));
        QCOMPARE(static_cast<void*>(c.data), host().bufferInfos[i % 2].buffers[half]);
    }
    // outputReady is supported, so it follows each switch once, after the processing.
    QVERIFY(host().outputReadySupported);
    QCOMPARE(countOf(TestDriver::calls(F::kHost), "outputReady"), 1 + 3);
}

void TestHostState::switchesFromADriverThreadAlternateHalves()
{
    TestDriverScript script;
    script.outputReadyResult = ASE_NotPresent;
    TestDriver* driver = bringUp(script);
    QVERIFY(driver);
    QVERIFY(!host().outputReadySupported);
    RecordingProcessor processor;
    host().setBufferProcessor(&processor);
    driver->fireBufferSwitchesFromThread(10);
    QCOMPARE(processor.calls.size(), 20);
    for (int i = 0; i < 20; ++i) {
        QCOMPARE(processor.calls[i].half, long((i / 2) % 2));
        QVERIFY(processor.threads[i] != QThread::currentThread());
    }
    // The position of the last switch: nine buffers of 512 samples before it.
    QCOMPARE(host().lastSamplePosition, 9.0 * 512);
    QVERIFY(host().lastSystemTimeNs > 0);
    QCOMPARE(countOf(TestDriver::calls(F::kHost), "outputReady"), 1);
}

void TestHostState::failedPositionQueryStillDeliversBuffers()
{
    TestDriverScript script;
    TestDriver* driver = bringUp(script);
    QVERIFY(driver);
    RecordingProcessor processor;
    host().setBufferProcessor(&processor);
    driver->fireBufferSwitch(0);
    QVERIFY(host().lastSystemTimeNs > 0);

    script.getSamplePositionResult = ASE_SPNotAdvancing;
    TestDriver::setScript(F::kHost, script);
    driver->fireBufferSwitch(1);
    driver->fireBufferSwitch(0);
    QCOMPARE(processor.calls.size(), 6);
    QCOMPARE(host().lastSystemTimeNs, 0.0);
    QCOMPARE(host().lastSamplePosition, 0.0);
    QCOMPARE(host().lastTimeInfo.timeInfo.flags, 0UL);
}

void TestHostState::timeInfoRecordIsCopied()
{
    QVERIFY(bringUp(TestDriverScript()));
    RecordingProcessor processor;
    host().setBufferProcessor(&processor);
    ASIOTime t{};
    t.timeInfo.samplePosition = {1, 5};
    t.timeInfo.systemTime = {0, 1000000};
    t.timeInfo.sampleRate = 96000;
    t.timeInfo.flags = kSamplePositionValid | kSampleRateValid;
    t.timeCode.timeCodeSamples = {2, 0};
    t.timeCode.flags = kTcValid | kTcRunning;
    QVERIFY(!AsioHostState::bufferSwitchTimeInfo(&t, 1, ASIOTrue));
    QCOMPARE(host().lastSamplePosition, 4294967296.0 + 5);
    QCOMPARE(host().lastSystemTimeNs, 0.0);  // not flagged valid
    QCOMPARE(host().lastTimeCodeSamples, 2 * 4294967296.0);
    QCOMPARE(host().lastTimeInfo.timeInfo.sampleRate, 96000.0);
    QCOMPARE(processor.calls.size(), 2);
    QCOMPARE(processor.calls[0].half, 1L);

    t.timeCode.flags = kTcRunning;
    AsioHostState::bufferSwitchTimeInfo(&t, 0, ASIOTrue);
    QCOMPARE(host().lastTimeCodeSamples, 0.0);
}

void TestHostState::ignoresBadHalvesAndMissingProcessor()
{
    TestDriver* driver = bringUp(TestDriverScript());
    QVERIFY(driver);
    driver->fireBufferSwitch(0);  // no processor: nothing to deliver to, nothing breaks
    RecordingProcessor processor;
    host().setBufferProcessor(&processor);
    driver->fireBufferSwitch(2);
    driver->fireBufferSwitch(-1);
    AsioHostState::bufferSwitchTimeInfo(nullptr, 1, ASIOTrue);
    QCOMPARE(processor.calls.size(), 2);
    QCOMPARE(processor.calls[0].half, 1L);
}

void TestHostState::asioMessageReplies()
{
    const long supported[] = {0, 0, 1, 1, 0, 1, 1, 1, 1, 0, 1, 0, 0, 0, 0, 0};
    for (long value = 0; value < 16; ++value)
        QCOMPARE(AsioHostState::asioMessage(kAsioSelectorSupported, value, nullptr, nullptr),
                 supported[value]);
    const long replies[][2] = {{kAsioEngineVersion, 2},    {kAsioBufferSizeChange, 0},
                               {kAsioResyncRequest, 1},    {kAsioLatenciesChanged, 1},
                               {kAsioSupportsTimeInfo, 1}, {kAsioSupportsTimeCode, 0},
                               {kAsioMMCCommand, 0},       {kAsioSupportsInputMonitor, 0},
                               {kAsioOverload, 0},         {0, 0},
                               {12345, 0}};
    for (const auto& r : replies)
        QCOMPARE(AsioHostState::asioMessage(r[0], 0, nullptr, nullptr), r[1]);
}

void TestHostState::resetRequestReachesTheProcessor()
{
    TestDriver* driver = bringUp(TestDriverScript());
    QVERIFY(driver);
    QCOMPARE(AsioHostState::asioMessage(kAsioResetRequest, 0, nullptr, nullptr), 1L);
    RecordingProcessor processor;
    host().setBufferProcessor(&processor);
    driver->requestReset(false);
    QCOMPARE(processor.resets.load(), 1);
    driver->requestReset(true);
    QTRY_COMPARE(processor.resets.load(), 2);
}

void TestHostState::candidateTextsFollowTheDriver()
{
    TestDriverScript script;
    script.rates.removeAll(352800);
    QVERIFY(bringUp(script));
    const QStringList texts = sampleRateCandidates();
    QCOMPARE(texts, QStringList({"44100.0", "48000.0", "88200.0", "96000.0", "176400.0",
                                 "192000.0", "352800.0 not supported", "384000.0", "2822400.0",
                                 "5644800.0", "11289600.0"}));
    QCOMPARE(countOf(TestDriver::calls(F::kHost), "canSampleRate"), 11);

    ASIOExit();
    const QStringList none = sampleRateCandidates();
    QCOMPARE(none.size(), 11);
    for (const QString& text : none)
        QVERIFY2(text.endsWith(" not supported"), qPrintable(text));
    QCOMPARE(none.last(), QString("11289600.0 not supported"));
}

void TestHostState::staticDataReportsTheFirstFailingQuery()
{
    TestDriverScript script;
    script.inputs = 6;
    script.getBufferSizeResult = ASE_HWMalfunction;
    TestDriver::setScript(F::kHost, script);
    QVERIFY(loadAsioDriver(F::kHost));
    QCOMPARE(ASIOInit(&host().driverInfo), ASIOError(ASE_OK));
    AsioDriverData d;
    d.preferredBufferSize = 99;
    QCOMPARE(initAsioStaticData(d), -2);
    QCOMPARE(d.inputChannelCount, 6L);
    QCOMPARE(d.preferredBufferSize, 99L);

    script.getBufferSizeResult = ASE_OK;
    script.getSampleRateResult = ASE_NoClock;
    TestDriver::setScript(F::kHost, script);
    QCOMPARE(initAsioStaticData(d), -3);
    QCOMPARE(d.preferredBufferSize, 512L);

    script.getChannelsResult = ASE_NotPresent;
    TestDriver::setScript(F::kHost, script);
    QCOMPARE(initAsioStaticData(d), -1);

    script = TestDriverScript();
    script.initialRate = 96000;
    TestDriver::setScript(F::kHost, script);
    ASIOExit();
    QVERIFY(loadAsioDriver(F::kHost));
    QCOMPARE(ASIOInit(&host().driverInfo), ASIOError(ASE_OK));
    QCOMPARE(initAsioStaticData(d), 0);
    QCOMPARE(d.sampleRate, 96000.0);
    QVERIFY(d.outputReadySupported);
}

void TestHostState::bufferCreationReportsTheFailingCall()
{
    TestDriverScript script;
    QVERIFY(bringUp(script));
    script.getChannelInfoResult = ASE_InvalidParameter;
    TestDriver::setScript(F::kHost, script);
    QCOMPARE(host().createAsioBuffers(host()), ASIOError(ASE_InvalidParameter));
    QCOMPARE(host().inputBufferCount, 2L);

    script.getChannelInfoResult = ASE_OK;
    script.getLatenciesResult = ASE_HWMalfunction;
    TestDriver::setScript(F::kHost, script);
    QCOMPARE(host().createAsioBuffers(host()), ASIOError(ASE_HWMalfunction));

    script.getLatenciesResult = ASE_OK;
    script.createBuffersResult = ASE_NoMemory;
    TestDriver::setScript(F::kHost, script);
    QCOMPARE(host().createAsioBuffers(host()), ASIOError(ASE_NoMemory));
    QVERIFY(!host().bufferInfos[0].buffers[0]);
    QCOMPARE(countOf(TestDriver::calls(F::kHost), "getChannelInfo"), 4 + 1 + 4);
}
