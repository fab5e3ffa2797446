#include "testdriver.h"

#include "builtindrivers.h"

#include <QMap>
#include <QMutex>
#include <QMutexLocker>
#include <QUuid>
#include <chrono>
#include <cstring>

QList<double> TestDriverScript::standardRates()
{
    return QList<double>() << 44100 << 48000 << 88200 << 96000 << 176400 << 192000 << 352800
                           << 384000 << 2822400 << 5644800 << 11289600;
}

struct TestDriverClass
{
    QString name;
    QMutex mutex;
    TestDriverScript script;
    QStringList calls;
    TestDriver* live = nullptr;
};

namespace {

QMap<QString, std::shared_ptr<TestDriverClass>>& classes()
{
    static QMap<QString, std::shared_ptr<TestDriverClass>> map;
    return map;
}

QString providerId(const QString& name)
{
    return QStringLiteral("testdriver:") + name;
}

void copyText(char* buffer, size_t size, const QByteArray& text)
{
    const size_t n = qMin(size - 1, size_t(text.size()));
    memcpy(buffer, text.constData(), n);
    buffer[n] = '\0';
}

ASIOSamples splitValue(uint64_t value)
{
    return ASIOSamples{uint32_t(value >> 32), uint32_t(value & 0xffffffffu)};
}

uint64_t monotonicNs()
{
    return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
}

// The scripted failure if there is one, else whether the caller's arguments can be filled.
ASIOError answer(ASIOError scripted, bool argumentsValid)
{
    if (scripted != ASE_OK)
        return scripted;
    return argumentsValid ? ASE_OK : ASE_InvalidParameter;
}

} // namespace

void TestDriver::registerDriver(const QString& name, const TestDriverScript& script)
{
    if (classes().contains(name)) {
        setScript(name, script);
        return;
    }
    auto cls = std::make_shared<TestDriverClass>();
    cls->name = name;
    cls->script = script;
    classes().insert(name, cls);
    const QString clsid = clsidOf(name);
    BuiltinDrivers::addProvider(providerId(name), [cls, clsid]() {
        BuiltinDriverClass c;
        c.keyName = cls->name;
        c.clsid = clsid;
        c.description = cls->name;
        c.create = [cls]() -> IASIO* { return new TestDriver(cls); };
        return QList<BuiltinDriverClass>{c};
    });
}

void TestDriver::unregisterDriver(const QString& name)
{
    BuiltinDrivers::removeProvider(providerId(name));
    classes().remove(name);
}

template <typename Fn>
static void withClass(const QString& name, Fn fn)
{
    if (const auto cls = classes().value(name)) {
        QMutexLocker lock(&cls->mutex);
        fn(*cls);
    }
}

TestDriverScript TestDriver::script(const QString& name)
{
    TestDriverScript s;
    withClass(name, [&](TestDriverClass& c) { s = c.script; });
    return s;
}

void TestDriver::setScript(const QString& name, const TestDriverScript& script)
{
    withClass(name, [&](TestDriverClass& c) { c.script = script; });
}

TestDriver* TestDriver::current(const QString& name)
{
    TestDriver* live = nullptr;
    withClass(name, [&](TestDriverClass& c) { live = c.live; });
    return live;
}

QStringList TestDriver::calls(const QString& name)
{
    QStringList calls;
    withClass(name, [&](TestDriverClass& c) { calls = c.calls; });
    return calls;
}

void TestDriver::clearCalls(const QString& name)
{
    withClass(name, [](TestDriverClass& c) { c.calls.clear(); });
}

QString TestDriver::clsidOf(const QString& name)
{
    static const QUuid ns(QStringLiteral("{6ba7b811-9dad-11d1-80b4-00c04fd430c8}"));
    return QUuid::createUuidV5(ns, name).toString();
}

TestDriver::TestDriver(std::shared_ptr<TestDriverClass> cls) : m_class(std::move(cls))
{
    QMutexLocker lock(&m_class->mutex);
    m_class->calls << QStringLiteral("create");
    m_class->live = this;
    m_rate = m_class->script.initialRate;
}

TestDriver::~TestDriver()
{
    stopStreamingThread();
    joinOrDetach(m_helperThread);
    QMutexLocker lock(&m_class->mutex);
    if (m_class->live == this)
        m_class->live = nullptr;
}

TestDriverScript TestDriver::logCall(const char* name)
{
    QMutexLocker lock(&m_class->mutex);
    m_class->calls << QString::fromLatin1(name);
    return m_class->script;
}

void TestDriver::joinOrDetach(std::thread& thread)
{
    if (!thread.joinable())
        return;
    if (thread.get_id() == std::this_thread::get_id())
        thread.detach();
    else
        thread.join();
}

void TestDriver::stopStreamingThread()
{
    m_streaming = false;
    joinOrDetach(m_streamThread);
}

void TestDriver::deliverSwitch(long index)
{
    const long n = m_switches;
    if (m_class->script.useTimeInfo && m_callbacks.bufferSwitchTimeInfo) {
        ASIOTime t;
        memset(&t, 0, sizeof t);
        t.timeInfo.samplePosition = splitValue(uint64_t(n) * uint64_t(m_bufferSize));
        t.timeInfo.systemTime = splitValue(monotonicNs());
        t.timeInfo.sampleRate = m_rate;
        t.timeInfo.flags = kSystemTimeValid | kSamplePositionValid | kSampleRateValid;
        m_callbacks.bufferSwitchTimeInfo(&t, index, ASIOTrue);
    } else if (m_callbacks.bufferSwitch) {
        m_callbacks.bufferSwitch(index, ASIOTrue);
    }
    ++m_switches;
}

void TestDriver::fireBufferSwitchesFromThread(int count)
{
    std::thread worker([this, count]() {
        for (int i = 0; i < count; ++i)
            deliverSwitch(m_switches % 2);
    });
    worker.join();
}

void TestDriver::requestReset(bool fromNewThread)
{
    const auto message = m_callbacks.asioMessage;
    if (!message)
        return;
    if (!fromNewThread) {
        message(kAsioResetRequest, 0, nullptr, nullptr);
        return;
    }
    joinOrDetach(m_helperThread);
    // Touches nothing of this driver: the host may release it while handling the request.
    m_helperThread = std::thread([message]() { message(kAsioResetRequest, 0, nullptr, nullptr); });
}

void TestDriver::fireSampleRateChanged(double rate)
{
    if (m_callbacks.sampleRateDidChange)
        m_callbacks.sampleRateDidChange(rate);
}

unsigned long TestDriver::AddRef()
{
    logCall("AddRef");
    return ++m_refs;
}

unsigned long TestDriver::Release()
{
    logCall("Release");
    const unsigned long left = --m_refs;
    if (left == 0)
        delete this;
    return left;
}

ASIOBool TestDriver::init(void*)
{
    return logCall("init").initSucceeds ? ASIOTrue : ASIOFalse;
}

void TestDriver::getDriverName(char* name)
{
    const TestDriverScript s = logCall("getDriverName");
    if (name)
        copyText(name, 32, s.driverName);
}

long TestDriver::getDriverVersion()
{
    return logCall("getDriverVersion").driverVersion;
}

void TestDriver::getErrorMessage(char* string)
{
    const TestDriverScript s = logCall("getErrorMessage");
    if (string)
        copyText(string, 124, s.errorMessage);
}

ASIOError TestDriver::start()
{
    const TestDriverScript s = logCall("start");
    if (s.startResult != ASE_OK)
        return s.startResult;
    if (s.threadPeriodMs > 0 && !m_streaming) {
        joinOrDetach(m_streamThread);
        m_streaming = true;
        const auto period = std::chrono::milliseconds(s.threadPeriodMs);
        m_streamThread = std::thread([this, period]() {
            auto next = std::chrono::steady_clock::now();
            while (m_streaming) {
                next += period;
                std::this_thread::sleep_until(next);
                if (m_streaming)
                    deliverSwitch(m_switches % 2);
            }
        });
    }
    return ASE_OK;
}

ASIOError TestDriver::stop()
{
    const TestDriverScript s = logCall("stop");
    if (std::this_thread::get_id() == m_streamThread.get_id())
        return ASE_InvalidMode;
    if (s.stopResult == ASE_OK)
        stopStreamingThread();
    return s.stopResult;
}

ASIOError TestDriver::getChannels(long* numInputChannels, long* numOutputChannels)
{
    const TestDriverScript s = logCall("getChannels");
    const ASIOError e = answer(s.getChannelsResult, numInputChannels && numOutputChannels);
    if (e == ASE_OK) {
        *numInputChannels = s.inputs;
        *numOutputChannels = s.outputs;
    }
    return e;
}

ASIOError TestDriver::getLatencies(long* inputLatency, long* outputLatency)
{
    const TestDriverScript s = logCall("getLatencies");
    const ASIOError e = answer(s.getLatenciesResult, inputLatency && outputLatency);
    if (e == ASE_OK) {
        *inputLatency = s.inputLatency;
        *outputLatency = s.outputLatency;
    }
    return e;
}

ASIOError TestDriver::getBufferSize(long* minSize, long* maxSize, long* preferredSize,
                                    long* granularity)
{
    const TestDriverScript s = logCall("getBufferSize");
    const ASIOError e =
        answer(s.getBufferSizeResult, minSize && maxSize && preferredSize && granularity);
    if (e == ASE_OK) {
        *minSize = s.minBufferSize;
        *maxSize = s.maxBufferSize;
        *preferredSize = s.preferredBufferSize;
        *granularity = s.granularity;
    }
    return e;
}

ASIOError TestDriver::canSampleRate(ASIOSampleRate sampleRate)
{
    return logCall("canSampleRate").rates.contains(sampleRate) ? ASE_OK : ASE_NoClock;
}

ASIOError TestDriver::getSampleRate(ASIOSampleRate* sampleRate)
{
    const TestDriverScript s = logCall("getSampleRate");
    const ASIOError e = answer(s.getSampleRateResult, sampleRate);
    if (e == ASE_OK)
        *sampleRate = s.reportedRate != 0 ? s.reportedRate : m_rate;
    return e;
}

ASIOError TestDriver::setSampleRate(ASIOSampleRate sampleRate)
{
    const TestDriverScript s = logCall("setSampleRate");
    if (s.setSampleRateResult != ASE_OK)
        return s.setSampleRateResult;
    if (!s.rates.contains(sampleRate))
        return ASE_NoClock;
    m_rate = sampleRate;
    return ASE_OK;
}

ASIOError TestDriver::getClockSources(ASIOClockSource* clocks, long* numSources)
{
    logCall("getClockSources");
    if (!clocks || !numSources || *numSources < 1)
        return ASE_InvalidParameter;
    memset(clocks, 0, sizeof *clocks);
    clocks->isCurrentSource = ASIOTrue;
    copyText(clocks->name, sizeof clocks->name, "Internal");
    *numSources = 1;
    return ASE_OK;
}

ASIOError TestDriver::setClockSource(long reference)
{
    logCall("setClockSource");
    return reference == 0 ? ASE_OK : ASE_InvalidParameter;
}

ASIOError TestDriver::getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp)
{
    const TestDriverScript s = logCall("getSamplePosition");
    const ASIOError e = answer(s.getSamplePositionResult, sPos && tStamp);
    if (e == ASE_OK) {
        *sPos = splitValue(uint64_t(m_switches.load()) * uint64_t(m_bufferSize));
        *tStamp = splitValue(monotonicNs());
    }
    return e;
}

ASIOError TestDriver::getChannelInfo(ASIOChannelInfo* info)
{
    const TestDriverScript s = logCall("getChannelInfo");
    const ASIOError e = answer(s.getChannelInfoResult,
                               info && info->channel >= 0 &&
                                   info->channel < (info->isInput ? s.inputs : s.outputs));
    if (e != ASE_OK)
        return e;
    info->isActive = ASIOFalse;
    for (const ASIOBufferInfo& b : m_buffers) {
        if (b.isInput == info->isInput && b.channelNum == info->channel)
            info->isActive = ASIOTrue;
    }
    info->channelGroup = 0;
    info->type = m_ioFormat == kASIODSDFormat ? s.dsdSampleType : s.pcmSampleType;
    const QByteArray name = (info->isInput ? QByteArray("In ") : QByteArray("Out ")) +
                            QByteArray::number(qlonglong(info->channel) + 1);
    copyText(info->name, sizeof info->name, name);
    return ASE_OK;
}

ASIOError TestDriver::createBuffers(ASIOBufferInfo* bufferInfos, long numChannels, long bufferSize,
                                    ASIOCallbacks* callbacks)
{
    const TestDriverScript s = logCall("createBuffers");
    if (s.createBuffersResult != ASE_OK)
        return s.createBuffersResult;
    if (!bufferInfos || !callbacks || numChannels < 1 || bufferSize < 1 || m_streaming)
        return ASE_InvalidParameter;
    for (long i = 0; i < numChannels; ++i) {
        const long channels = bufferInfos[i].isInput ? s.inputs : s.outputs;
        if (bufferInfos[i].channelNum < 0 || bufferInfos[i].channelNum >= channels)
            return ASE_InvalidParameter;
    }
    m_buffers.clear();
    m_memory.clear();
    // Eight bytes per sample hold every sample type.
    const int bytes = int(bufferSize) * 8;
    for (long i = 0; i < numChannels; ++i) {
        for (int half = 0; half < 2; ++half) {
            m_memory.append(QByteArray(bytes, '\0'));
            bufferInfos[i].buffers[half] = m_memory.last().data();
        }
        m_buffers.append(bufferInfos[i]);
    }
    m_callbacks = *callbacks;
    m_bufferSize = bufferSize;
    m_switches = 0;
    return ASE_OK;
}

ASIOError TestDriver::disposeBuffers()
{
    const TestDriverScript s = logCall("disposeBuffers");
    if (s.disposeBuffersResult != ASE_OK)
        return s.disposeBuffersResult;
    if (m_streaming)
        return ASE_InvalidMode;
    m_buffers.clear();
    m_memory.clear();
    return ASE_OK;
}

ASIOError TestDriver::controlPanel()
{
    logCall("controlPanel");
    return ASE_NotPresent;
}

ASIOError TestDriver::future(long selector, void* opt)
{
    const TestDriverScript s = logCall("future");
    auto* format = static_cast<ASIOIoFormat*>(opt);
    switch (selector) {
    case kAsioSetIoFormat:
        if (s.futureResult == ASE_SUCCESS && format)
            m_ioFormat = format->FormatType;
        return s.futureResult;
    case kAsioGetIoFormat:
        if (s.futureResult == ASE_SUCCESS && format)
            format->FormatType = m_ioFormat;
        return s.futureResult;
    case kAsioCanDoIoFormat:
        return s.futureResult;
    default:
        return ASE_InvalidParameter;
    }
}

ASIOError TestDriver::outputReady()
{
    return logCall("outputReady").outputReadyResult;
}
