#include "halfbufferstream.h"

#include "diagnosticsink.h"

#include <chrono>
#include <cstring>

namespace {

ASIOSamples splitValue(uint64_t value)
{
    return ASIOSamples{uint32_t(value >> 32), uint32_t(value & 0xffffffffu)};
}

} // namespace

HalfBufferStream::HalfBufferStream(ASIOBufferInfo* infos, long count, long bufferSize, bool dsd,
                                   const ASIOCallbacks& callbacks, bool useTimeInfo,
                                   std::string deviceName)
    : m_bufferSize(bufferSize), m_dsd(dsd), m_callbacks(callbacks), m_useTimeInfo(useTimeInfo),
      m_deviceName(std::move(deviceName)), m_channels(size_t(count))
{
    const size_t bytes = size_t(dsd ? bufferSize / 8 : bufferSize * 4);
    for (long i = 0; i < count; ++i) {
        Channel& c = m_channels[size_t(i)];
        c.number = infos[i].channelNum;
        c.input = infos[i].isInput == ASIOTrue;
        for (int half = 0; half < 2; ++half) {
            c.halves[half].assign(bytes, dsd && !c.input ? 0x69 : 0x00);
            infos[i].buffers[half] = c.halves[half].data();
        }
    }
}

HalfBufferStream::~HalfBufferStream()
{
    joinThread();
}

void HalfBufferStream::joinThread()
{
    if (!m_thread.joinable())
        return;
    if (isDeviceThread())
        m_thread.detach();
    else
        m_thread.join();
}

uint64_t HalfBufferStream::monotonicNs()
{
    return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
}

bool HalfBufferStream::hasChannel(long channel, bool input) const
{
    for (const Channel& c : m_channels) {
        if (c.number == channel && c.input == input)
            return true;
    }
    return false;
}

long HalfBufferStream::inputSpan() const
{
    long span = 0;
    for (const Channel& c : m_channels) {
        if (c.input && c.number + 1 > span)
            span = c.number + 1;
    }
    return span;
}

void HalfBufferStream::position(uint64_t* samples, uint64_t* timeNs) const
{
    std::lock_guard<std::mutex> lock(m_positionMutex);
    *samples = m_positionSamples;
    *timeNs = m_positionTimeNs;
}

void HalfBufferStream::launch()
{
    {
        std::lock_guard<std::mutex> lock(m_positionMutex);
        m_positionSamples = 0;
        m_positionTimeNs = 0;
    }
    m_stopRequested = false;
    m_state = State::Running;
    m_deviceThread = std::thread::id();
    m_thread = std::thread(&HalfBufferStream::threadMain, this, shared_from_this());
}

void HalfBufferStream::threadMain(std::shared_ptr<HalfBufferStream>)
{
    m_deviceThread = std::this_thread::get_id();
    run();
}

void HalfBufferStream::requestStop()
{
    m_stopRequested = true;
    wake();
}

ASIOError HalfBufferStream::stop()
{
    if (isDeviceThread()) {
        DiagnosticSink::line("%s: stop requested from inside its own buffer switch; refused",
                             m_deviceName.c_str());
        return ASE_InvalidMode;
    }
    requestStop();
    if (m_thread.joinable())
        m_thread.join();
    halt();
    m_state = State::Idle;
    return ASE_OK;
}

void HalfBufferStream::release()
{
    if (!isDeviceThread()) {
        stop();
        return;
    }
    requestStop();
    m_thread.detach();
}

void HalfBufferStream::deliver(uint64_t n, uint64_t timeNs, ASIOBool processNow)
{
    const long half = long(n % 2);
    const uint64_t first = n * uint64_t(m_bufferSize);
    {
        std::lock_guard<std::mutex> lock(m_positionMutex);
        m_positionSamples = first;
        m_positionTimeNs = timeNs;
    }
    if (m_useTimeInfo && m_callbacks.bufferSwitchTimeInfo) {
        ASIOTime t;
        memset(&t, 0, sizeof t);
        t.timeInfo.samplePosition = splitValue(first);
        t.timeInfo.systemTime = splitValue(timeNs);
        t.timeInfo.sampleRate = m_rate;
        t.timeInfo.speed = 1.0;
        t.timeInfo.flags = kSystemTimeValid | kSamplePositionValid | kSampleRateValid;
        m_callbacks.bufferSwitchTimeInfo(&t, half, processNow);
    } else if (m_callbacks.bufferSwitch) {
        m_callbacks.bufferSwitch(half, processNow);
    }
}

void HalfBufferStream::signalLost()
{
    m_state = State::Lost;
    if (m_callbacks.asioMessage)
        m_callbacks.asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
}
