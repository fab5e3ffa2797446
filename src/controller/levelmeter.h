#ifndef TESSARO_LEVELMETER_H
#define TESSARO_LEVELMETER_H

#include "asio.h"

#include <atomic>
#include <cstdint>

// The state of the DSD filter's CIC stage, on the driver thread.
struct DsdCic
{
    uint32_t integrators[3] = {};  // wrap around by design; the combs undo it
    uint32_t combs[3] = {};
    long phase = 0;
    int32_t lastQ = 0;
    uint32_t peak = 0;  // of the block being processed
};

// The level of one recorded input, computed from every block the driver delivers and handed
// to the window through atomics.
//
// Levels are linear and relative to the 0 dB reference of the mode: PCM full scale (2^31) and,
// for DSD, 50 % modulation. PCM reads the 32-bit words (ASIOSTInt32LSB); it clips at two or
// more consecutive words at the largest or smallest value. DSD (ASIOSTDSDInt8MSB1 or LSB1)
// passes the bit stream through a triangular window over two bytes, summed over groups of bytes
// (bit counts and a table per byte, see levelmeter.cpp), and a third-order CIC stage
// that decimates to 44.1 kHz at every DSD rate; it clips above +3.1 dB, the highest peak the
// DSD disc format allows. Other sample types are not metered.
//
// Threads: process on the driver thread only; it allocates nothing and takes no lock, and its
// filter state is touched by no other thread. reset, takePeak, takeClip and resetCount on the
// GUI thread. m_peak and m_clip carry the results, m_resetPending and m_pendingMultiple carry
// a reset to the driver thread, which clears its state before its next block; a reset is meant
// for moments without a stream (a new driver, rate or mode), when no block can race with it.
class LevelMeter
{
public:
    static constexpr double kDsdBaseRate = 2822400.0;
    static constexpr double kDsdClipDb = 3.1;

    // Forgets every level and clip and prepares the filter for the rate (Hz).
    void reset(double rate);
    void process(const unsigned char* data, ASIOSampleType type, long samples);

    // The highest level since the previous call (0 when none), and whether the clip threshold
    // was crossed since the previous call.
    float takePeak();
    bool takeClip();
    // Counts the resets, so a display knows when to drop what it holds.
    unsigned resetCount() const { return m_resets; }

private:
    void clearFilter(long multiple);
    void processPcm(const unsigned char* data, long samples);
    void processDsd(const unsigned char* data, long bytes, bool oldestInMsb);
    void addByte(unsigned char byte, const int16_t* q);
    void publish(float level, bool clipped);

    std::atomic<float> m_peak{0.0f};
    std::atomic<bool> m_clip{false};
    std::atomic<bool> m_resetPending{true};
    std::atomic<long> m_pendingMultiple{1};
    unsigned m_resets = 0;

    // Driver thread only.
    long m_groupBytes = 1;
    long m_groupsPerOutput = 8;
    float m_dsdScale = 0.0f;     // CIC output of 50 % modulation, inverted
    uint32_t m_dsdClipAbove = 0; // CIC output magnitude of +3.1 dB
    DsdCic m_cic;
    long m_groupFill = 0;        // bytes of the group begun in an earlier block
    int m_groupBits = 0;
    int m_fullScaleRun = 0;
};

#endif
