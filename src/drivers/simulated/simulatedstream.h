#ifndef TESSARO_SIMULATEDSTREAM_H
#define TESSARO_SIMULATEDSTREAM_H

#include "halfbufferstream.h"
#include "simulateddriver.h"
#include "simulatedpattern.h"
#include "simulatedsignal.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

// The simulated device's stream: a device thread that fills the input halves and delivers the
// buffer switches. Buffer switch n (n = 0, 1, ...) is delivered for half n % 2 at
// start + (n + 1) * bufferSize / rate, an absolute deadline on the monotonic clock, so late
// wake-ups do not add up; when the thread falls behind it catches up without pause.
//
// Threads: construction, start, stop, release on the GUI thread; run on the device thread.
// m_wakeMutex and m_wake let a stop end the wait for the next deadline; the signals are the
// device thread's while it runs.
class SimulatedStream : public HalfBufferStream
{
public:
    SimulatedStream(ASIOBufferInfo* infos, long count, long bufferSize, bool dsd,
                    const ASIOCallbacks& callbacks, bool useTimeInfo);
    ~SimulatedStream() override;

    bool start(double rate, SimulatedDriver::Signal signal);

private:
    void run() override;
    void wake() override;
    bool waitUntil(uint64_t deadlineNs);
    bool unplugDetected(uint64_t nowNs, uint64_t* nextFileCheckNs);
    void fillInputs(uint64_t n);
    uint64_t dueTime(uint64_t n) const;
    void scheduleBurstFromEnvironment();
    void startBursts(uint64_t n);

    const std::string m_controlFile;
    std::vector<SimulatedSignal> m_signals; // of m_channels at the same index
    SimulatedPattern m_pattern;             // TESSARO_SIMULATED_PATTERN, read at every start
    uint64_t m_startNs = 0;
    long m_scheduledBurstChannel = -1;
    uint64_t m_scheduledBurstSwitch = 0;
    std::mutex m_wakeMutex;
    std::condition_variable m_wake;
};

#endif
