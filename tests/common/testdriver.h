#ifndef TESSARO_TESTDRIVER_H
#define TESSARO_TESTDRIVER_H

// A scriptable IASIO driver for tests, registered as a built-in driver class.
//
//   TestDriverScript script;                 // every answer the driver gives
//   script.inputs = 8;
//   script.outputs = 8;
//   TestDriver::registerDriver("Halvik Test 8x8", script);
//   QVERIFY(loadAsioDriver("Halvik Test 8x8"));
//   TestDriver* driver = TestDriver::current("Halvik Test 8x8");   // the live instance
//   ... ASIOInit, createAsioBuffers, driver->fireBufferSwitch(0) ...
//   QCOMPARE(TestDriver::calls("Halvik Test 8x8").first(), QString("create"));
//
// The process-wide load list behind loadAsioDriver reads the registry once, at the first
// loadAsioDriver of the process: register every name a test executable needs before that
// (e.g. in initTestCase) and vary the behaviour through setScript instead of new names.
// A script change applies to the next call of the driver, also of a live instance.
//
// Buffer switches: fireBufferSwitch delivers one for the given half synchronously on the
// calling thread (the sample position counts the switches delivered times the buffer size);
// with script.threadPeriodMs > 0, start() runs a driver-like thread that delivers one every
// period until stop(). requestReset sends kAsioResetRequest, either on the
// calling thread or from a new thread (as a real driver does when its device is lost); the
// host may then stop and release the driver from that thread. stop() called from the
// streaming thread itself is refused with ASE_InvalidMode instead of deadlocking.
//
// Call log: every IASIO call but AddRef, the clock sources and the control panel appends its
// name ("init", "getChannels", ..., "Release"), and
// each instantiation appends "create"; the log belongs to the registered name and outlives
// instances.
//
// Threads: registration, scripts and inspection from the test's thread; the IASIO calls
// from any thread. The class's mutex guards script, call log and live instance.

#include "iasio.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVector>
#include <atomic>
#include <memory>
#include <thread>

struct TestDriverScript
{
    QByteArray driverName = "Test Driver";
    long driverVersion = 1;
    bool initSucceeds = true;
    QByteArray errorMessage = "test driver init failed";

    long inputs = 2, outputs = 2;
    // The eleven rates a full-featured interface offers, PCM and DSD: canSampleRate answers
    // ASE_OK for these, ASE_NoClock for every other rate.
    QList<double> rates = QList<double>() << 44100 << 48000 << 88200 << 96000 << 176400 << 192000
                                          << 352800 << 384000 << 2822400 << 5644800 << 11289600;
    double initialRate = 44100;
    // The buffer sizes offered are 64 to 8192 frames, at no granularity; the latencies are
    // 512 frames in and 1024 out.
    long preferredBufferSize = 512;
    // In DSD format every channel is ASIOSTDSDInt8MSB1.
    ASIOSampleType pcmSampleType = ASIOSTInt32LSB;

    // Answers of the calls; future answers kAsioSetIoFormat, kAsioGetIoFormat and
    // kAsioCanDoIoFormat with futureResult, and a successful set changes the IO format.
    ASIOError futureResult = ASE_SUCCESS;
    ASIOError getChannelsResult = ASE_OK, getBufferSizeResult = ASE_OK,
              getSampleRateResult = ASE_OK;
    ASIOError getSamplePositionResult = ASE_OK, getChannelInfoResult = ASE_OK;
    ASIOError createBuffersResult = ASE_OK, getLatenciesResult = ASE_OK, outputReadyResult = ASE_OK;

    // > 0: start() runs a thread that delivers a buffer switch every this many ms.
    int threadPeriodMs = 0;
};

struct TestDriverClass;

class TestDriver : public IASIO
{
public:
    static void registerDriver(const QString& name, const TestDriverScript& script = {});
    static void unregisterDriver(const QString& name);
    static TestDriverScript script(const QString& name);
    static void setScript(const QString& name, const TestDriverScript& script);
    static TestDriver* current(const QString& name); // null when no instance lives
    static QStringList calls(const QString& name);
    static void clearCalls(const QString& name);

    // Test thread.
    void fireBufferSwitch(long index);
    void requestReset(bool fromNewThread);
    // The buffer infos as createBuffers received and filled them, and the size created.
    QVector<ASIOBufferInfo> createdBuffers() const { return m_buffers; }
    long createdBufferSize() const { return m_bufferSize; }

    unsigned long AddRef() override { return ++m_refs; }
    unsigned long Release() override;
    ASIOBool init(void*) override { return logCall("init").initSucceeds ? ASIOTrue : ASIOFalse; }
    void getDriverName(char* name) override
    {
        copyText(name, 32, logCall("getDriverName").driverName);
    }
    long getDriverVersion() override { return logCall("getDriverVersion").driverVersion; }
    void getErrorMessage(char* text) override
    {
        copyText(text, 124, logCall("getErrorMessage").errorMessage);
    }
    ASIOError start() override;
    ASIOError stop() override;
    ASIOError getChannels(long* numInputChannels, long* numOutputChannels) override;
    ASIOError getLatencies(long* inputLatency, long* outputLatency) override;
    ASIOError getBufferSize(long* minSize, long* maxSize, long* preferredSize,
                            long* granularity) override;
    ASIOError canSampleRate(ASIOSampleRate rate) override
    {
        return logCall("canSampleRate").rates.contains(rate) ? ASE_OK : ASE_NoClock;
    }
    ASIOError getSampleRate(ASIOSampleRate* sampleRate) override;
    ASIOError setSampleRate(ASIOSampleRate sampleRate) override;
    // Nothing asks for clock sources or the control panel.
    ASIOError getClockSources(ASIOClockSource*, long*) override { return ASE_NotPresent; }
    ASIOError setClockSource(long) override { return ASE_NotPresent; }
    ASIOError getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) override;
    ASIOError getChannelInfo(ASIOChannelInfo* info) override;
    ASIOError createBuffers(ASIOBufferInfo* bufferInfos, long numChannels, long bufferSize,
                            ASIOCallbacks* callbacks) override;
    ASIOError disposeBuffers() override;
    ASIOError controlPanel() override { return ASE_NotPresent; }
    ASIOError future(long selector, void* opt) override;
    ASIOError outputReady() override { return logCall("outputReady").outputReadyResult; }

private:
    explicit TestDriver(std::shared_ptr<TestDriverClass> cls);
    ~TestDriver() override;

    TestDriverScript logCall(const char* name);
    static void copyText(char* buffer, size_t size, const QByteArray& text);
    // Logs the call; the scripted failure if there is one, else ASE_InvalidParameter when the
    // caller's arguments are not valid, else ASE_OK after fill(script).
    template <typename Fill>
    ASIOError answer(const char* name, ASIOError TestDriverScript::*result, bool valid, Fill fill);

    std::shared_ptr<TestDriverClass> m_class;
    std::atomic<unsigned long> m_refs{1};
    ASIOIoFormatType m_ioFormat = kASIOPCMFormat;
    double m_rate = 0;
    ASIOCallbacks m_callbacks{};
    QVector<ASIOBufferInfo> m_buffers;
    QVector<QByteArray> m_memory;
    long m_bufferSize = 0;
    std::atomic<long> m_switches{0};
    std::atomic<bool> m_streaming{false};
    std::thread m_streamThread;
    std::thread m_helperThread;
};

#endif
