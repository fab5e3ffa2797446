#include "simulatedstream.h"

#include "diagnosticsink.h"

#include <QFile>
#include <QStringList>
#include <chrono>
#include <unistd.h>

namespace {

const uint64_t kNsPerSecond = 1000000000ull;
const uint64_t kFileCheckIntervalNs = 200000000ull;
const char* const kBurstVariable = "TESSARO_SIMULATED_BURST";

} // namespace

SimulatedStream::SimulatedStream(ASIOBufferInfo* infos, long count, long bufferSize, bool dsd,
                                 const ASIOCallbacks& callbacks, bool useTimeInfo)
    : HalfBufferStream(infos, count, bufferSize, dsd, callbacks, useTimeInfo,
                       SimulatedDriver::kDescription),
      m_controlFile(QFile::encodeName(SimulatedDriver::controlFilePath()).toStdString()),
      m_signals(size_t(count))
{}

SimulatedStream::~SimulatedStream()
{
    joinThread(); // before the wait's condition goes
}

bool SimulatedStream::start(double rate, SimulatedDriver::Signal signal)
{
    if (m_state == State::Running)
        return true;
    joinThread(); // a thread that ended after an unplug
    m_rate = rate;
    scheduleBurstFromEnvironment();
    m_pattern.readEnvironment();
    m_pattern.prepare(rate);
    for (size_t i = 0; i < m_channels.size(); ++i) {
        if (m_channels[i].input)
            m_signals[i].prepare(signal, m_dsd, rate, m_channels[i].number);
    }
    m_startNs = monotonicNs();
    launch();
    return true;
}

// Taking the lock orders the stop request before the wait's look at it.
void SimulatedStream::wake()
{
    {
        std::lock_guard<std::mutex> lock(m_wakeMutex);
    }
    m_wake.notify_all();
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
    std::unique_lock<std::mutex> lock(m_wakeMutex);
    return !m_wake.wait_until(lock, deadline, [this] { return m_stopRequested.load(); });
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

void SimulatedStream::run()
{
    uint64_t nextFileCheckNs = 0;
    for (uint64_t n = 0;; ++n) {
        const uint64_t due = dueTime(n);
        if (!waitUntil(due))
            return;
        if (unplugDetected(monotonicNs(), &nextFileCheckNs)) {
            signalLost();
            return;
        }
        fillInputs(n);
        deliver(n, due, ASIOFalse);
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
        DiagnosticSink::line("%s: %s=\"%s\" is not <channel 0 to 3>@<seconds>; no burst",
                             SimulatedDriver::kDescription, kBurstVariable, qPrintable(text));
        return;
    }
    m_scheduledBurstChannel = channel;
    m_scheduledBurstSwitch = uint64_t(seconds * m_rate / double(m_bufferSize));
}

void SimulatedStream::startBursts(uint64_t n)
{
    const long samples = SimulatedDriver::burstLength(m_rate);
    for (size_t i = 0; i < m_channels.size(); ++i) {
        const Channel& c = m_channels[i];
        const bool scheduled = c.number == m_scheduledBurstChannel && n == m_scheduledBurstSwitch;
        if (c.input && (SimulatedDriver::takeBurstRequest(c.number) || scheduled))
            m_signals[i].startBurst(samples);
    }
}

void SimulatedStream::fillInputs(uint64_t n)
{
    const long half = long(n % 2);
    startBursts(n);
    const uint64_t first = n * uint64_t(m_bufferSize);
    for (size_t i = 0; i < m_channels.size(); ++i) {
        if (!m_channels[i].input)
            continue;
        auto* data = m_channels[i].halves[half].data();
        m_signals[i].fill(data, m_bufferSize);
        m_pattern.gate(data, m_bufferSize, first, m_dsd);
    }
}
