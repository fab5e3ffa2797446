#include "levelmeter.h"

#include <QtEndian>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace {

// Weights of the triangular window over the 16 one-bit samples of two bytes, oldest first:
// 1, 2, ..., 8 for the previous byte, 7, 6, ..., 0 for the current one (sum 64). Each table
// holds the weighted sum of a byte's samples read as +1 and -1; the previous byte's table
// carries the -64 of the bipolar mapping, so their sum lies in [-64, 64].
// Both weights of a byte side by side: one look-up per byte serves it as the current byte and,
// kept in a register, as the previous one.
struct DsdWeights
{
    int32_t asCurrent = 0;
    int32_t asPrevious = 0;
};

struct DsdTables
{
    DsdWeights byByte[256] = {};
};

constexpr DsdTables makeDsdTables(bool oldestInMsb)
{
    DsdTables t;
    for (int byte = 0; byte < 256; ++byte) {
        int current = 0;
        int previous = -64;
        for (int age = 0; age < 8; ++age) {
            const int bit = (byte >> (oldestInMsb ? 7 - age : age)) & 1;
            current += 2 * bit * (7 - age);
            previous += 2 * bit * (age + 1);
        }
        t.byByte[byte] = DsdWeights{current, previous};
    }
    return t;
}

constexpr DsdTables kMsbFirst = makeDsdTables(true);
constexpr DsdTables kLsbFirst = makeDsdTables(false);

// 44.1 kHz out of the byte rate of every DSD multiple: 2822400 / 8 / 8 = 44100.
constexpr long kBytesPerOutputAt1x = 8;
constexpr long kWindowSum = 64;

uint32_t magnitude(uint32_t twosComplement)
{
    const int32_t v = int32_t(twosComplement);
    return v < 0 ? 0u - twosComplement : twosComplement;
}

} // namespace

void LevelMeter::reset(double rate)
{
    const long multiple = rate >= kDsdBaseRate ? std::max(1L, std::lround(rate / kDsdBaseRate)) : 1;
    m_pendingDecimation = kBytesPerOutputAt1x * multiple;
    m_resetPending = true;
    m_peak = 0.0f;
    m_clip = false;
    ++m_resets;
}

void LevelMeter::clearFilter(long decimation)
{
    m_decimation = decimation;
    const double reference = 0.5 * kWindowSum * std::pow(double(decimation), 3);
    m_dsdScale = float(1.0 / reference);
    m_dsdClipAbove = uint32_t(reference * std::pow(10.0, kDsdClipDb / 20.0));
    std::fill(std::begin(m_integrators), std::end(m_integrators), 0u);
    std::fill(std::begin(m_combs), std::end(m_combs), 0u);
    m_phase = 0;
    m_lastByte = 0x69;
    m_fullScaleRun = 0;
}

void LevelMeter::process(const unsigned char* data, ASIOSampleType type, long samples)
{
    if (m_resetPending.exchange(false))
        clearFilter(m_pendingDecimation);
    if (!data || samples <= 0)
        return;
    switch (type) {
    case ASIOSTInt32LSB: processPcm(data, samples); break;
    case ASIOSTDSDInt8MSB1: processDsd(data, samples / 8, true); break;
    case ASIOSTDSDInt8LSB1: processDsd(data, samples / 8, false); break;
    default: break;
    }
}

// The extremes in lanes the compiler can vectorise; runs of full-scale words are looked for
// only in the rare block that reaches full scale at all.
void LevelMeter::processPcm(const unsigned char* data, long samples)
{
    constexpr int32_t kHighest = std::numeric_limits<int32_t>::max();
    constexpr int32_t kLowest = std::numeric_limits<int32_t>::min();
    constexpr int kLanes = 8;
    int32_t lows[kLanes], highs[kLanes];
    std::fill(std::begin(lows), std::end(lows), kHighest);
    std::fill(std::begin(highs), std::end(highs), kLowest);
    long i = 0;
    for (; i + kLanes <= samples; i += kLanes) {
        for (int lane = 0; lane < kLanes; ++lane) {
            const int32_t v = qFromLittleEndian<qint32>(data + 4 * (i + lane));
            lows[lane] = std::min(lows[lane], v);
            highs[lane] = std::max(highs[lane], v);
        }
    }
    for (; i < samples; ++i) {
        const int32_t v = qFromLittleEndian<qint32>(data + 4 * i);
        lows[0] = std::min(lows[0], v);
        highs[0] = std::max(highs[0], v);
    }
    const int32_t lo = *std::min_element(std::begin(lows), std::end(lows));
    const int32_t hi = *std::max_element(std::begin(highs), std::end(highs));
    bool clipped = false;
    if (hi == kHighest || lo == kLowest) {
        int run = m_fullScaleRun;
        for (long i = 0; i < samples; ++i) {
            const int32_t v = qFromLittleEndian<qint32>(data + 4 * i);
            run = v == kHighest || v == kLowest ? run + 1 : 0;
            clipped |= run >= 2;
        }
        m_fullScaleRun = std::min(run, 2);
    } else {
        m_fullScaleRun = 0;
    }
    const uint32_t peak = std::max(magnitude(uint32_t(lo)), magnitude(uint32_t(hi)));
    publish(float(double(peak) / 2147483648.0), clipped);
}

// Unsigned arithmetic: the integrators wrap around by design, the comb differences undo it.
void LevelMeter::processDsd(const unsigned char* data, long bytes, bool oldestInMsb)
{
    const DsdWeights* weights = (oldestInMsb ? kMsbFirst : kLsbFirst).byByte;
    uint32_t i1 = m_integrators[0], i2 = m_integrators[1], i3 = m_integrators[2];
    int32_t previous = weights[m_lastByte].asPrevious;
    uint32_t peak = 0;
    long k = 0;
    while (k < bytes) {
        const long end = std::min(bytes, k + (m_decimation - m_phase));
        m_phase += end - k;
        for (; k < end; ++k) {
            const DsdWeights& w = weights[data[k]];
            i1 += uint32_t(w.asCurrent + previous);
            i2 += i1;
            i3 += i2;
            previous = w.asPrevious;
        }
        if (m_phase < m_decimation)
            break;
        m_phase = 0;
        const uint32_t c1 = i3 - m_combs[0];
        const uint32_t c2 = c1 - m_combs[1];
        const uint32_t y = c2 - m_combs[2];
        m_combs[0] = i3;
        m_combs[1] = c1;
        m_combs[2] = c2;
        peak = std::max(peak, magnitude(y));
    }
    m_integrators[0] = i1;
    m_integrators[1] = i2;
    m_integrators[2] = i3;
    m_lastByte = bytes > 0 ? data[bytes - 1] : m_lastByte;
    publish(float(peak) * m_dsdScale, peak > m_dsdClipAbove);
}

void LevelMeter::publish(float level, bool clipped)
{
    float seen = m_peak.load(std::memory_order_relaxed);
    while (level > seen && !m_peak.compare_exchange_weak(seen, level, std::memory_order_relaxed)) {
    }
    if (clipped)
        m_clip.store(true, std::memory_order_relaxed);
}

float LevelMeter::takePeak()
{
    return m_peak.exchange(0.0f, std::memory_order_relaxed);
}

bool LevelMeter::takeClip()
{
    return m_clip.exchange(false, std::memory_order_relaxed);
}
