#include "simulatedstream.h"

#include "diagnosticsink.h"

#include <QFile>
#include <QStringList>
#include <chrono>
#include <cstring>
#include <unistd.h>

namespace {

const uint64_t kNsPerSecond = 1000000000ull;
const uint64_t kFileCheckIntervalNs = 200000000ull;
const char* const kBurstVariable = "TESSARO_SIMULATED_BURST";

uint64_t monotonicNs()
{
    return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
}

ASIOSamples splitValue(uint64_t value)
{
    return ASIOSamples{uint32_t(value >> 32), uint32_t(value & 0xffffffffu)};
}

} // namespace

SimulatedStream::SimulatedStream(ASIOBufferInfo* infos, long count, long bufferSize, bool dsd,
                                 const ASIOCallbacks& callbacks, bool useTimeInfo)
    : m_bufferSize(bufferSize), m_dsd(dsd), m_callbacks(callbacks), m_useTimeInfo(useTimeInfo),
      m_controlFile(QFile::encodeName(SimulatedDriver::controlFilePath()).toStdString()),
      m_channels(size_t(count))
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

SimulatedStream::~SimulatedStream()
{
    if (m_thread.joinable()) {
        if (isDeviceThread())
            m_thread.detach();
        else
            m_thread.join();
    }
}

bool SimulatedStream::hasChannel(long channel, bool input) const
{
    for (const Channel& c : m_channels) {
        if (c.number == channel && c.input == input)
            return true;
    }
    return false;
}

bool SimulatedStream::start(double rate, SimulatedDriver::Signal signal)
{
    if (m_state == State::Running)
        return true;
    if (m_thread.joinable())
        m_thread.join(); // a thread that ended after an unplug
    m_rate = rate;
    scheduleBurstFromEnvironment();
    m_pattern.readEnvironment();
    m_pattern.prepare(rate);
    for (Channel& c : m_channels) {
        if (c.input)
            c.signal.prepare(signal, m_dsd, rate, c.number);
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopRequested = false;
        m_positionSamples = 0;
        m_positionTimeNs = 0;
    }
    m_startNs = monotonicNs();
    m_state = State::Running;
    m_deviceThread = std::thread::id();
    m_thread = std::thread(&SimulatedStream::run, this, shared_from_this());
    return true;
}

ASIOError SimulatedStream::stop()
{
    if (isDeviceThread()) {
        DiagnosticSink::line("%s: stop requested from inside its own buffer switch; refused",
                             SimulatedDriver::kDescription);
        return ASE_InvalidMode;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopRequested = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    m_state = State::Idle;
    return ASE_OK;
}

void SimulatedStream::release()
{
    if (!isDeviceThread()) {
        stop();
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopRequested = true;
    }
    m_thread.detach();
}

void SimulatedStream::position(uint64_t* samples, uint64_t* timeNs) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    *samples = m_positionSamples;
    *timeNs = m_positionTimeNs;
}

uint64_t SimulatedStream::dueTime(uint64_t n) const
{
    const uint64_t samples = (n + 1) * uint64_t(m_bufferSize);
    const uint64_t rate = uint64_t(m_rate);
    return m_startNs + samples / rate * kNsPerSecond + samples % rate * kNsPerSecond / rate;
}

bool SimulatedStream::waitUntil(uint64_t deadlineNs)
{
    const std::chrono::steady_clock::time_point deadline{std::chrono::nanoseconds(deadlineNs)};
    std::unique_lock<std::mutex> lock(m_mutex);
    return !m_wake.wait_until(lock, deadline, [this] { return m_stopRequested; });
}

bool SimulatedStream::unplugDetected(uint64_t nowNs, uint64_t* nextFileCheckNs)
{
    if (SimulatedDriver::s_unplugged)
        return true;
    if (nowNs < *nextFileCheckNs)
        return false;
    *nextFileCheckNs = nowNs + kFileCheckIntervalNs;
    return access(m_controlFile.c_str(), F_OK) == 0;
}

// The unnamed reference keeps the stream alive while this function runs.
void SimulatedStream::run(std::shared_ptr<SimulatedStream>)
{
    m_deviceThread = std::this_thread::get_id();
    uint64_t nextFileCheckNs = 0;
    for (uint64_t n = 0;; ++n) {
        const uint64_t due = dueTime(n);
        if (!waitUntil(due))
            return;
        if (unplugDetected(monotonicNs(), &nextFileCheckNs)) {
            m_state = State::Lost;
            // The host may stop and release the driver while handling this.
            if (m_callbacks.asioMessage)
                m_callbacks.asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
            return;
        }
        deliver(n, due);
    }
}

// "<channel>@<seconds>": a burst in that input channel once the stream has run that long.
void SimulatedStream::scheduleBurstFromEnvironment()
{
    m_scheduledBurstChannel = -1;
    const QString text = qEnvironmentVariable(kBurstVariable);
    if (text.isEmpty())
        return;
    const QStringList parts = text.split(QLatin1Char('@'));
    bool channelOk = false, secondsOk = false;
    const long channel = parts.size() == 2 ? parts[0].toLong(&channelOk) : -1;
    const double seconds = parts.size() == 2 ? parts[1].toDouble(&secondsOk) : -1;
    if (!channelOk || !secondsOk || channel < 0 || channel >= SimulatedDriver::kInputChannels ||
        seconds < 0 || seconds > 1e6) {
        DiagnosticSink::line("%s: %s=\"%s\" is not <channel 0 or 1>@<seconds>; no burst",
                             SimulatedDriver::kDescription, kBurstVariable, qPrintable(text));
        return;
    }
    m_scheduledBurstChannel = channel;
    m_scheduledBurstSwitch = uint64_t(seconds * m_rate / double(m_bufferSize));
}

void SimulatedStream::startBursts(uint64_t n)
{
    const long samples = SimulatedDriver::burstLength(m_rate);
    for (Channel& c : m_channels) {
        const bool scheduled = c.number == m_scheduledBurstChannel && n == m_scheduledBurstSwitch;
        if (c.input && (SimulatedDriver::takeBurstRequest(c.number) || scheduled))
            c.signal.startBurst(samples);
    }
}

void SimulatedStream::deliver(uint64_t n, uint64_t dueNs)
{
    const long half = long(n % 2);
    startBursts(n);
    const uint64_t first = n * uint64_t(m_bufferSize);
    for (Channel& c : m_channels) {
        if (c.input) {
            c.signal.fill(c.halves[half].data(), m_bufferSize);
            m_pattern.gate(c.halves[half].data(), m_bufferSize, first, m_dsd);
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_positionSamples = first;
        m_positionTimeNs = dueNs;
    }
    if (m_useTimeInfo && m_callbacks.bufferSwitchTimeInfo) {
        ASIOTime t;
        memset(&t, 0, sizeof t);
        t.timeInfo.samplePosition = splitValue(first);
        t.timeInfo.systemTime = splitValue(dueNs);
        t.timeInfo.sampleRate = m_rate;
        t.timeInfo.speed = 1.0;
        t.timeInfo.flags = kSystemTimeValid | kSamplePositionValid | kSampleRateValid;
        m_callbacks.bufferSwitchTimeInfo(&t, half, ASIOFalse);
    } else if (m_callbacks.bufferSwitch) {
        m_callbacks.bufferSwitch(half, ASIOFalse);
    }
}
