#include "testdriver.h"

#include "builtindrivers.h"

#include <QMap>
#include <QUuid>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>

struct TestDriverClass
{
    std::mutex mutex; // pthread, so that the race detector sees what it orders
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

ASIOSamples splitValue(uint64_t value)
{
    return ASIOSamples{uint32_t(value >> 32), uint32_t(value)};
}

template <typename Fn> void withClass(const QString& name, Fn fn)
{
    if (const auto cls = classes().value(name)) {
        std::lock_guard<std::mutex> lock(cls->mutex);
        fn(*cls);
    }
}

template <typename T> T read(const QString& name, T TestDriverClass::*field)
{
    T value{};
    withClass(name, [&](TestDriverClass& c) { value = c.*field; });
    return value;
}

void joinOrDetach(std::thread& thread)
{
    if (thread.joinable() && thread.get_id() == std::this_thread::get_id())
        thread.detach();
    else if (thread.joinable())
        thread.join();
}

} // namespace

void TestDriver::registerDriver(const QString& name, const TestDriverScript& script)
{
    if (classes().contains(name))
        return setScript(name, script);
    auto cls = std::make_shared<TestDriverClass>();
    cls->script = script;
    classes().insert(name, cls);
    // A fixed class id per name, as a registered driver has.
    const QUuid ns(QStringLiteral("{6ba7b811-9dad-11d1-80b4-00c04fd430c8}"));
    const QString clsid = QUuid::createUuidV5(ns, name).toString();
    BuiltinDrivers::addProvider(providerId(name), [cls, clsid, name]() {
        BuiltinDriverClass c{};
        c.keyName = c.description = name;
        c.clsid = clsid;
        c.create = [cls]() -> IASIO* { return new TestDriver(cls); };
        return QList<BuiltinDriverClass>{c};
    });
}

void TestDriver::unregisterDriver(const QString& name)
{
    BuiltinDrivers::removeProvider(providerId(name));
    classes().remove(name);
}

TestDriverScript TestDriver::script(const QString& name)
{
    return read(name, &TestDriverClass::script);
}
TestDriver* TestDriver::current(const QString& name)
{
    return read(name, &TestDriverClass::live);
}
QStringList TestDriver::calls(const QString& name)
{
    return read(name, &TestDriverClass::calls);
}

void TestDriver::setScript(const QString& name, const TestDriverScript& script)
{
    withClass(name, [&](TestDriverClass& c) { c.script = script; });
}
void TestDriver::clearCalls(const QString& name)
{
    withClass(name, [](auto& c) { c.calls.clear(); });
}

TestDriver::TestDriver(std::shared_ptr<TestDriverClass> cls) : m_class(std::move(cls))
{
    std::lock_guard<std::mutex> lock(m_class->mutex);
    m_class->calls << QStringLiteral("create");
    m_class->live = this;
    m_rate = m_class->script.initialRate;
}

TestDriver::~TestDriver()
{
    m_streaming = false;
    joinOrDetach(m_streamThread);
    joinOrDetach(m_helperThread);
    std::lock_guard<std::mutex> lock(m_class->mutex);
    if (m_class->live == this)
        m_class->live = nullptr;
}

void TestDriver::copyText(char* buffer, size_t size, const QByteArray& text)
{
    if (!buffer)
        return;
    const size_t n = qMin(size - 1, size_t(text.size()));
    memcpy(buffer, text.constData(), n);
    buffer[n] = '\0';
}

TestDriverScript TestDriver::logCall(const char* name)
{
    std::lock_guard<std::mutex> lock(m_class->mutex);
    m_class->calls << QString::fromLatin1(name);
    return m_class->script;
}

template <typename Fill>
ASIOError TestDriver::answer(const char* name, ASIOError TestDriverScript::*result, bool valid,
                             Fill fill)
{
    const TestDriverScript s = logCall(name);
    if (s.*result != ASE_OK)
        return s.*result;
    if (!valid)
        return ASE_InvalidParameter;
    fill(s);
    return ASE_OK;
}

void TestDriver::fireBufferSwitch(long index)
{
    if (m_callbacks.bufferSwitch)
        m_callbacks.bufferSwitch(index, ASIOTrue);
    ++m_switches;
}

void TestDriver::requestReset(bool fromNewThread)
{
    const auto message = m_callbacks.asioMessage;
    if (message && !fromNewThread)
        message(kAsioResetRequest, 0, nullptr, nullptr);
    if (message && fromNewThread) {
        joinOrDetach(m_helperThread);
        // Touches nothing of this driver: the host may release it while handling the request.
        m_helperThread =
            std::thread([message]() { message(kAsioResetRequest, 0, nullptr, nullptr); });
    }
}

unsigned long TestDriver::Release()
{
    logCall("Release");
    const unsigned long left = --m_refs;
    if (left == 0)
        delete this;
    return left;
}

ASIOError TestDriver::start()
{
    const TestDriverScript s = logCall("start");
    if (s.threadPeriodMs <= 0 || m_streaming)
        return ASE_OK;
    joinOrDetach(m_streamThread);
    m_streaming = true;
    m_streamThread = std::thread([this, period = std::chrono::milliseconds(s.threadPeriodMs)]() {
        for (auto next = std::chrono::steady_clock::now() + period; m_streaming; next += period) {
            std::this_thread::sleep_until(next);
            if (m_streaming)
                fireBufferSwitch(m_switches % 2);
        }
    });
    return ASE_OK;
}

ASIOError TestDriver::stop()
{
    logCall("stop");
    if (std::this_thread::get_id() == m_streamThread.get_id())
        return ASE_InvalidMode;
    m_streaming = false;
    joinOrDetach(m_streamThread);
    return ASE_OK;
}

ASIOError TestDriver::getChannels(long* numInputChannels, long* numOutputChannels)
{
    return answer("getChannels", &TestDriverScript::getChannelsResult,
                  numInputChannels && numOutputChannels, [&](const TestDriverScript& s) {
                      *numInputChannels = s.inputs;
                      *numOutputChannels = s.outputs;
                  });
}

ASIOError TestDriver::getLatencies(long* inputLatency, long* outputLatency)
{
    return answer("getLatencies", &TestDriverScript::getLatenciesResult,
                  inputLatency && outputLatency, [&](const TestDriverScript&) {
                      *inputLatency = 512;
                      *outputLatency = 1024;
                  });
}

ASIOError TestDriver::getBufferSize(long* minSize, long* maxSize, long* preferredSize,
                                    long* granularity)
{
    return answer("getBufferSize", &TestDriverScript::getBufferSizeResult,
                  minSize && maxSize && preferredSize && granularity,
                  [&](const TestDriverScript& s) {
                      *minSize = 64;
                      *maxSize = 8192;
                      *preferredSize = s.preferredBufferSize;
                      *granularity = -1;
                  });
}

ASIOError TestDriver::getSampleRate(ASIOSampleRate* sampleRate)
{
    return answer("getSampleRate", &TestDriverScript::getSampleRateResult, sampleRate,
                  [&](const TestDriverScript&) { *sampleRate = m_rate; });
}

ASIOError TestDriver::setSampleRate(ASIOSampleRate sampleRate)
{
    if (!logCall("setSampleRate").rates.contains(sampleRate))
        return ASE_NoClock;
    m_rate = sampleRate;
    return ASE_OK;
}

ASIOError TestDriver::getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp)
{
    return answer("getSamplePosition", &TestDriverScript::getSamplePositionResult, sPos && tStamp,
                  [&](const TestDriverScript&) {
                      *sPos = splitValue(uint64_t(m_switches.load()) * uint64_t(m_bufferSize));
                      const auto now = std::chrono::steady_clock::now().time_since_epoch();
                      *tStamp = splitValue(uint64_t(now / std::chrono::nanoseconds(1)));
                  });
}

ASIOError TestDriver::getChannelInfo(ASIOChannelInfo* info)
{
    const TestDriverScript s = logCall("getChannelInfo");
    if (s.getChannelInfoResult != ASE_OK)
        return s.getChannelInfoResult;
    if (!info || info->channel < 0 || info->channel >= (info->isInput ? s.inputs : s.outputs))
        return ASE_InvalidParameter;
    const auto created = [&](const ASIOBufferInfo& b) {
        return b.isInput == info->isInput && b.channelNum == info->channel;
    };
    info->isActive =
        std::any_of(m_buffers.begin(), m_buffers.end(), created) ? ASIOTrue : ASIOFalse;
    info->channelGroup = 0;
    info->type = m_ioFormat == kASIODSDFormat ? ASIOSampleType(ASIOSTDSDInt8MSB1) : s.pcmSampleType;
    const QByteArray number = QByteArray::number(qlonglong(info->channel) + 1);
    copyText(info->name, sizeof info->name, (info->isInput ? "In " : "Out ") + number);
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
    const auto invalid = [&](const ASIOBufferInfo& b) {
        return b.channelNum < 0 || b.channelNum >= (b.isInput ? s.inputs : s.outputs);
    };
    if (std::any_of(bufferInfos, bufferInfos + numChannels, invalid))
        return ASE_InvalidParameter;
    m_buffers.clear();
    m_memory.clear();
    for (long i = 0; i < numChannels; ++i) {
        for (int half = 0; half < 2; ++half) {
            // Eight bytes per sample hold every sample type.
            m_memory.append(QByteArray(int(bufferSize) * 8, '\0'));
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
    logCall("disposeBuffers");
    if (m_streaming)
        return ASE_InvalidMode;
    m_buffers.clear();
    m_memory.clear();
    return ASE_OK;
}

ASIOError TestDriver::future(long selector, void* opt)
{
    const TestDriverScript s = logCall("future");
    auto* format = static_cast<ASIOIoFormat*>(opt);
    const bool done = s.futureResult == ASE_SUCCESS && format;
    if (selector == kAsioSetIoFormat && done)
        m_ioFormat = format->FormatType;
    else if (selector == kAsioGetIoFormat && done)
        format->FormatType = m_ioFormat;
    const bool known = selector == kAsioSetIoFormat || selector == kAsioGetIoFormat ||
                       selector == kAsioCanDoIoFormat;
    return known ? s.futureResult : ASIOError(ASE_InvalidParameter);
}
