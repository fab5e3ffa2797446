#ifndef TESSARO_SIMULATEDSTREAM_H
#define TESSARO_SIMULATEDSTREAM_H

#include "simulateddriver.h"
#include "simulatedpattern.h"
#include "simulatedsignal.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The simulated device's double buffers and the device thread that fills the input halves
// and delivers the buffer switches. Buffer switch n (n = 0, 1, ...) is delivered for half
// n % 2 at start + (n + 1) * bufferSize / rate, an absolute deadline on the monotonic clock,
// so late wake-ups do not add up; when the thread falls behind it catches up without pause.
//
// Threads: construction, start, stop, release on the GUI thread; run on the device thread;
// position from both. m_mutex guards m_stopRequested (with m_wake) and the position fields;
// m_state is atomic. The device thread holds a reference to the stream, so a stream released
// from its own thread ends there safely.
class SimulatedStream : public std::enable_shared_from_this<SimulatedStream>
{
public:
    enum class State
    {
        Idle,
        Running,
        Lost
    };

    // Allocates both halves of every entry and stores their addresses in the entries.
    SimulatedStream(ASIOBufferInfo* infos, long count, long bufferSize, bool dsd,
                    const ASIOCallbacks& callbacks, bool useTimeInfo);
    ~SimulatedStream();

    bool start(double rate, SimulatedDriver::Signal signal);
    // Ends the device thread; ASE_InvalidMode when called from it.
    ASIOError stop();
    // The owner is gone: end the thread without waiting when called from the thread itself.
    void release();

    State state() const { return m_state; }
    bool isDeviceThread() const { return std::this_thread::get_id() == m_deviceThread; }
    bool hasChannel(long channel, bool input) const;
    long bufferSize() const { return m_bufferSize; }
    // First sample of the half last delivered, and the monotonic time (ns) it was due.
    void position(uint64_t* samples, uint64_t* timeNs) const;

private:
    struct Channel
    {
        long number = 0;
        bool input = false;
        std::vector<unsigned char> halves[2];
        SimulatedSignal signal;
    };

    void run(std::shared_ptr<SimulatedStream> self);
    bool waitUntil(uint64_t deadlineNs);
    bool unplugDetected(uint64_t nowNs, uint64_t* nextFileCheckNs);
    void deliver(uint64_t n, uint64_t dueNs);
    uint64_t dueTime(uint64_t n) const;
    void scheduleBurstFromEnvironment();
    void startBursts(uint64_t n);

    const long m_bufferSize;
    const bool m_dsd;
    const ASIOCallbacks m_callbacks;
    const bool m_useTimeInfo;
    const std::string m_controlFile;
    std::vector<Channel> m_channels;
    SimulatedPattern m_pattern; // TESSARO_SIMULATED_PATTERN, read at every start
    double m_rate = 0.0;
    uint64_t m_startNs = 0;
    long m_scheduledBurstChannel = -1;
    uint64_t m_scheduledBurstSwitch = 0;

    std::atomic<State> m_state{State::Idle};
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopRequested = false;
    uint64_t m_positionSamples = 0;
    uint64_t m_positionTimeNs = 0;
    std::atomic<std::thread::id> m_deviceThread{};
    std::thread m_thread;
};

#endif
