#ifndef TESSARO_LEVELMETER_H
#define TESSARO_LEVELMETER_H

#include "asio.h"
#include "audiorates.h"

#include <atomic>

// The DSD filter's state, on the driver thread: the first stage's sums still open (the one that
// completes at the current group first), and the second stage's input. That input is filled
// first and filtered afterwards, a run at a time, so that the filter reads no value just written
// and the processor need not wait for the write to reach its cache.
struct DsdFilterState
{
    static constexpr int kFirstStageSums = 4;
    static constexpr int kTaps = 192;
    static constexpr int kRun = 256;
    float sums[kFirstStageSums] = {};
    long groupFill = 0;                         // bytes of the current group already added
    alignas(32) float input[kTaps + kRun] = {}; // begins with silence
    int inputCount = kTaps - 1;
    int nextOutput = kTaps - 1; // the index of the newest input of the next output
};

// The level of one recorded input, computed from every block the driver delivers and handed
// to the window through atomics.
//
// Levels are linear and relative to the 0 dB reference of the mode: PCM full scale (2^31) and,
// for DSD, 50 % modulation. PCM reads the 32-bit words (ASIOSTInt32LSB); it clips at two or
// more consecutive words at the largest or smallest value. DSD (ASIOSTDSDInt8MSB1 or LSB1) is
// filtered to the audio band before its peak is taken, so that the modulator's noise, which
// rises steeply above the band, does not read as level: four boxcars down to 352.8 kHz (a table
// entry per byte, see levelmeter.cpp), then a low-pass flat to 20 kHz and 78 dB down from
// 30 kHz, decimating to 44.1 kHz, alike at every DSD rate. It clips above +3.1 dB, the highest
// peak the DSD disc format allows. Other sample types are not metered.
//
// Threads: process and blockLevel on the driver thread only; it allocates nothing and takes no
// lock, and its filter state is touched by no other thread. reset, takePeak, takeClip and
// resetCount on the GUI thread. m_peak and m_clip carry the results, m_resetPending and
// m_pendingMultiple carry a reset to the driver thread, which clears its state before its next
// block; a reset is meant for moments without a stream (a new driver, rate or mode), when no block
// can race with it.
class LevelMeter
{
public:
    static constexpr double kDsdBaseRate = AudioRates::kDsdBase;
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
    // Driver thread: the level of the block process has just measured, or -1 when its sample
    // type is not metered (the level is unknown, not silence).
    float blockLevel() const { return m_blockLevel; }

private:
    void clearFilter(long multiple);
    void processPcm(const unsigned char* data, long samples);
    void processDsd(const unsigned char* data, long bytes, bool oldestInMsb);
    void publish(float level, bool clipped);

    std::atomic<float> m_peak{0.0f};
    std::atomic<bool> m_clip{false};
    std::atomic<bool> m_resetPending{true};
    std::atomic<long> m_pendingMultiple{1};
    unsigned m_resets = 0;

    // Driver thread only.
    long m_groupBytes = 1;       // bytes per output of the first stage
    float m_dsdScale = 0.0f;     // filter output of 50 % modulation, inverted
    float m_dsdClipAbove = 0.0f; // filter output magnitude of +3.1 dB
    DsdFilterState m_dsd;
    int m_fullScaleRun = 0;
    float m_blockLevel = -1.0f;
};

#endif
