#ifndef TESSARO_HALFBUFFERSTREAM_H
#define TESSARO_HALFBUFFERSTREAM_H

#include "asio.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// What every driver's stream shares: both halves of the buffer of every channel the host asked
// for, the device thread that hands them to the host one half at a time (bufferSwitch or
// bufferSwitchTimeInfo for half 0, 1, 0, ...), the sample position of the half last delivered,
// and the stop that is refused from inside a buffer switch rather than deadlocking. A driver's
// stream fills the input halves and plays the output halves in run(), and says in wake() how a
// thread waiting for its next period is woken.
//
// The halves are allocated here, so a running stream allocates nothing.
//
// Threads: construction, stop and release on the GUI thread; run on the device thread;
// position from both. m_positionMutex guards the position fields (a driver's stream may guard
// more of its own with it); m_state and m_stopRequested are atomic. The device thread holds a
// reference to the stream, so a stream released from its own thread ends there safely.
class HalfBufferStream : public std::enable_shared_from_this<HalfBufferStream>
{
public:
    enum class State
    {
        Idle,
        Running,
        Lost
    };

    // Allocates both halves of every entry and stores their addresses in the entries. Output
    // halves start silent: DSD idle (0x69), PCM zero.
    HalfBufferStream(ASIOBufferInfo* infos, long count, long bufferSize, bool dsd,
                     const ASIOCallbacks& callbacks, bool useTimeInfo, std::string deviceName);
    virtual ~HalfBufferStream();
    HalfBufferStream(const HalfBufferStream&) = delete;
    HalfBufferStream& operator=(const HalfBufferStream&) = delete;

    // Ends the device thread, then halt()s the device; ASE_InvalidMode when called from it.
    ASIOError stop();
    // The owner is gone: end the thread without waiting when called from the thread itself.
    void release();

    State state() const { return m_state; }
    bool isDeviceThread() const { return std::this_thread::get_id() == m_deviceThread.load(); }
    bool hasChannel(long channel, bool input) const;
    // One more than the highest input channel asked for: the channels the device must carry.
    long inputSpan() const;
    long bufferSize() const { return m_bufferSize; }
    // First sample of the half last delivered, and the monotonic time (ns) of that half.
    void position(uint64_t* samples, uint64_t* timeNs) const;

protected:
    struct Channel
    {
        long number = 0;
        bool input = false;
        std::vector<uint8_t> halves[2];
    };

    static uint64_t monotonicNs();

    // Resets the position and runs run() on a new device thread, in the Running state.
    void launch();
    // Device thread: hands half n % 2 to the host as buffer switch n, stamped timeNs.
    void deliver(uint64_t n, uint64_t timeNs, ASIOBool processNow);
    // Device thread: the device is gone. The host hears kAsioResetRequest, once; it may stop
    // and release the driver while handling it, so the thread ends right after.
    void signalLost();
    // For the destructor of a stream whose device thread uses its own members.
    void joinThread();

    virtual void run() = 0;
    // Any thread: a device thread waiting for its next period must look at m_stopRequested.
    virtual void wake() = 0;
    // GUI thread, after the device thread has ended on stop().
    virtual void halt() {}

    const long m_bufferSize;
    const bool m_dsd;
    const ASIOCallbacks m_callbacks;
    const bool m_useTimeInfo;
    const std::string m_deviceName;
    std::vector<Channel> m_channels;
    double m_rate = 0.0;
    std::atomic<State> m_state{State::Idle};
    std::atomic<bool> m_stopRequested{false};
    mutable std::mutex m_positionMutex;

private:
    void requestStop();
    // The unnamed reference keeps the stream alive while the thread runs.
    void threadMain(std::shared_ptr<HalfBufferStream> self);

    uint64_t m_positionSamples = 0;
    uint64_t m_positionTimeNs = 0;
    std::atomic<std::thread::id> m_deviceThread{};
    std::thread m_thread;
};

#endif
