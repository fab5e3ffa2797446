#include "levelmeter.h"

#include <QtEndian>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace {

// Four floats that the compiler keeps in one vector register where the processor has them.
using Lanes = float __attribute__((vector_size(16)));
constexpr int kFloatLanes = 4;

Lanes loadLanes(const float* p)
{
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The first stage is four boxcars of one output's bytes (G of them) in a row: its zeros fall on
// every multiple of 352.8 kHz, where the noise lies that the decimation would fold into the audio
// band. Its impulse response is made of whole numbers, summing to (8 G)^4, so the stage adds
// without rounding. A byte at position p of its group is part of four outputs: the one that
// completes with this group and the next three. Its shares of them are looked up as one entry,
// entry[p][byte][k] being the sum of the weights of the byte's 8 samples (read as +1 and -1) in
// the output that completes k groups later.
constexpr int kBoxcars = DsdFilterState::kFirstStageSums;
static_assert(kBoxcars == kFloatLanes, "a byte's shares fill one entry of lanes");

template <int G> struct BoxcarTables
{
    alignas(16) float entry[2][G][256][kBoxcars] = {}; // [0] oldest sample in the top bit
};

template <int G> constexpr BoxcarTables<G> makeBoxcarTables()
{
    constexpr int width = 8 * G;
    int64_t weights[kBoxcars * width] = {};
    weights[0] = 1;
    for (int boxcar = 0; boxcar < kBoxcars; ++boxcar) {
        int64_t running[kBoxcars * width] = {};
        for (int i = 0; i < kBoxcars * width; ++i)
            for (int j = i; j > i - width && j >= 0; --j)
                running[i] += weights[j];
        for (int i = 0; i < kBoxcars * width; ++i)
            weights[i] = running[i];
    }
    BoxcarTables<G> t;
    for (int p = 0; p < G; ++p)
        for (int byte = 0; byte < 256; ++byte)
            for (int k = 0; k < kBoxcars; ++k)
                for (int age = 0; age < 8; ++age) {
                    const int64_t w = weights[8 * ((kBoxcars - 1 - k) * G + p) + age];
                    t.entry[0][p][byte][k] += float((byte >> (7 - age) & 1) ? w : -w);
                    t.entry[1][p][byte][k] += float((byte >> age & 1) ? w : -w);
                }
    return t;
}

constexpr BoxcarTables<1> kBoxcars1 = makeBoxcarTables<1>();
constexpr BoxcarTables<2> kBoxcars2 = makeBoxcarTables<2>();
constexpr BoxcarTables<4> kBoxcars4 = makeBoxcarTables<4>();

// Entry [p][byte] is at table + (p * 256 + byte) * 4.
const float* boxcarTable(long groupBytes, int bitOrder)
{
    switch (groupBytes) {
    case 1:
        return &kBoxcars1.entry[bitOrder][0][0][0];
    case 2:
        return &kBoxcars2.entry[bitOrder][0][0][0];
    default:
        return &kBoxcars4.entry[bitOrder][0][0][0];
    }
}

// The second stage at 352.8 kHz: 191 taps of a Kaiser-windowed sinc with its edge at 25 kHz
// (flat within 0.001 dB to 20 kHz, 78 dB down from 30 kHz and 93 dB from 35 kHz), taken at
// every eighth input.
constexpr int kTaps = DsdFilterState::kTaps;
constexpr int kDecimation = 8;
constexpr double kFirstStageRate = 352800.0;
static_assert(kTaps % (4 * kFloatLanes) == 0 && kDecimation % kFloatLanes == 0,
              "windows begin and end on whole lanes");

struct LowPass
{
    alignas(16) float taps[kTaps] = {}; // the last is 0, to make whole lanes
};

// The modified Bessel function I0 of the Kaiser window, by its power series (not every standard
// library has std::cyl_bessel_i).
double besselI0(double x)
{
    double sum = 1.0, term = 1.0;
    for (int k = 1; k < 40; ++k) {
        term *= (x / (2 * k)) * (x / (2 * k));
        sum += term;
    }
    return sum;
}

LowPass makeLowPass()
{
    constexpr int used = kTaps - 1;
    constexpr double beta = 8.6;
    constexpr double cutoff = 25000.0 / kFirstStageRate;
    double taps[used];
    double sum = 0.0;
    for (int i = 0; i < used; ++i) {
        const double m = i - (used - 1) / 2.0;
        const double sinc =
            m == 0.0 ? 2.0 * cutoff : std::sin(2.0 * M_PI * cutoff * m) / (M_PI * m);
        const double x = 2.0 * i / (used - 1) - 1.0;
        taps[i] = sinc * besselI0(beta * std::sqrt(1.0 - x * x));
        sum += taps[i];
    }
    LowPass lowPass;
    for (int i = 0; i < used; ++i)
        lowPass.taps[i] = float(taps[i] / sum);
    return lowPass;
}

const LowPass kLowPass = makeLowPass();

// Four sums of lanes, so that the products do not wait on each other.
float lowPassAt(const float* window)
{
    const float* h = kLowPass.taps;
    Lanes a = {}, b = {}, c = {}, d = {};
    for (int i = 0; i < kTaps; i += 4 * kFloatLanes) {
        a += loadLanes(h + i) * loadLanes(window + i);
        b += loadLanes(h + i + kFloatLanes) * loadLanes(window + i + kFloatLanes);
        c += loadLanes(h + i + 2 * kFloatLanes) * loadLanes(window + i + 2 * kFloatLanes);
        d += loadLanes(h + i + 3 * kFloatLanes) * loadLanes(window + i + 3 * kFloatLanes);
    }
    const Lanes all = (a + b) + (c + d);
    return (all[0] + all[1]) + (all[2] + all[3]);
}

// The second stage over every output whose inputs have arrived; then the inputs that later
// outputs still need move to the front.
void filterInput(DsdFilterState& s, float& peak)
{
    for (; s.nextOutput < s.inputCount; s.nextOutput += kDecimation)
        peak = std::max(peak, std::abs(lowPassAt(s.input + s.nextOutput - (kTaps - 1))));
    const int done = s.nextOutput - (kTaps - 1);
    std::copy(s.input + done, s.input + s.inputCount, s.input);
    s.inputCount -= done;
    s.nextOutput -= done;
}

constexpr int kInputCapacity = DsdFilterState::kTaps + DsdFilterState::kRun;

// The output that completes with this group goes to the second stage's input; the others move
// up a place.
Lanes completeGroup(Lanes sums, float& output)
{
    output = sums[0];
#if defined(__clang__)
    return __builtin_shufflevector(sums, Lanes{}, 1, 2, 3, 4);
#else
    using Places = int __attribute__((vector_size(16)));
    return __builtin_shuffle(sums, Lanes{}, Places{1, 2, 3, 4});
#endif
}

void addByte(DsdFilterState& s, unsigned char byte, const float* table, long groupBytes,
             float& peak)
{
    Lanes sums = loadLanes(s.sums) + loadLanes(table + (s.groupFill * 256 + byte) * kFloatLanes);
    if (++s.groupFill == groupBytes) {
        s.groupFill = 0;
        sums = completeGroup(sums, s.input[s.inputCount++]);
    }
    std::memcpy(s.sums, &sums, sizeof sums);
    if (s.inputCount == kInputCapacity)
        filterInput(s, peak);
}

// Whole groups from the start of one, as many as the second stage's input holds; returns the
// bytes used. A group's entries are added among themselves first, so that the sums wait on one
// addition per group.
template <int G>
long addGroups(DsdFilterState& s, const unsigned char* data, long bytes, const float* table)
{
    const long groups = std::min(bytes / G, long(kInputCapacity - s.inputCount));
    float* input = s.input + s.inputCount;
    Lanes sums = loadLanes(s.sums);
    for (long group = 0; group < groups; ++group) {
        const unsigned char* bytesOfGroup = data + group * G;
        Lanes add = loadLanes(table + bytesOfGroup[0] * kFloatLanes);
#pragma GCC unroll 4
        for (int p = 1; p < G; ++p)
            add += loadLanes(table + (p * 256 + bytesOfGroup[p]) * kFloatLanes);
        sums = completeGroup(sums + add, input[group]);
    }
    std::memcpy(s.sums, &sums, sizeof sums);
    s.inputCount += int(groups);
    return groups * G;
}

// Without a branch: the sign of the words is as good as random in noisy material.
uint32_t magnitude(uint32_t twosComplement)
{
    const uint32_t sign = 0u - (twosComplement >> 31);
    return (twosComplement ^ sign) - sign;
}

// In eight lanes, so that the comparisons of neighbouring words do not wait on each
// other.
void pcmExtremes(const unsigned char* data, long samples, int32_t& lo, int32_t& hi)
{
    constexpr int kLanes = 8;
    lo = std::numeric_limits<int32_t>::max();
    hi = std::numeric_limits<int32_t>::min();
    long i = 0;
    int32_t lows[kLanes], highs[kLanes];
    std::fill(std::begin(lows), std::end(lows), lo);
    std::fill(std::begin(highs), std::end(highs), hi);
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
    lo = *std::min_element(std::begin(lows), std::end(lows));
    hi = *std::max_element(std::begin(highs), std::end(highs));
}

} // namespace

void LevelMeter::reset(double rate)
{
    const long multiple = rate >= kDsdBaseRate ? std::max(1L, std::lround(rate / kDsdBaseRate)) : 1;
    m_pendingMultiple = multiple;
    m_resetPending = true;
    m_peak = 0.0f;
    m_clip = false;
    ++m_resets;
}

void LevelMeter::clearFilter(long multiple)
{
    m_groupBytes = multiple >= 4 ? 4 : multiple >= 2 ? 2 : 1;
    const double reference = 0.5 * std::pow(8.0 * double(m_groupBytes), kBoxcars);
    m_dsdScale = float(1.0 / reference);
    m_dsdClipAbove = float(reference * std::pow(10.0, kDsdClipDb / 20.0));
    m_dsd = DsdFilterState();
    m_fullScaleRun = 0;
}

void LevelMeter::process(const unsigned char* data, ASIOSampleType type, long samples)
{
    // Read before the exchange, which would lock the bus at every block.
    if (m_resetPending.load(std::memory_order_relaxed) && m_resetPending.exchange(false))
        clearFilter(m_pendingMultiple);
    m_blockLevel = -1.0f;
    if (!data || samples <= 0)
        return;
    switch (type) {
    case ASIOSTInt32LSB:
        processPcm(data, samples);
        break;
    case ASIOSTDSDInt8MSB1:
        processDsd(data, samples / 8, true);
        break;
    case ASIOSTDSDInt8LSB1:
        processDsd(data, samples / 8, false);
        break;
    default:
        break;
    }
}

// Runs of full-scale words are looked for only in the rare block that reaches full scale at all.
void LevelMeter::processPcm(const unsigned char* data, long samples)
{
    constexpr int32_t kHighest = std::numeric_limits<int32_t>::max();
    constexpr int32_t kLowest = std::numeric_limits<int32_t>::min();
    int32_t lo = 0, hi = 0;
    pcmExtremes(data, samples, lo, hi);
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

// A group begun in the previous block is finished byte by byte, so is the tail of this one.
void LevelMeter::processDsd(const unsigned char* data, long bytes, bool oldestInMsb)
{
    const float* table = boxcarTable(m_groupBytes, oldestInMsb ? 0 : 1);
    float peak = 0.0f;
    long k = 0;
    while (k < bytes && m_dsd.groupFill > 0)
        addByte(m_dsd, data[k++], table, m_groupBytes, peak);
    while (bytes - k >= m_groupBytes) {
        switch (m_groupBytes) {
        case 1:
            k += addGroups<1>(m_dsd, data + k, bytes - k, table);
            break;
        case 2:
            k += addGroups<2>(m_dsd, data + k, bytes - k, table);
            break;
        default:
            k += addGroups<4>(m_dsd, data + k, bytes - k, table);
            break;
        }
        filterInput(m_dsd, peak);
    }
    while (k < bytes)
        addByte(m_dsd, data[k++], table, m_groupBytes, peak);
    filterInput(m_dsd, peak);
    publish(peak * m_dsdScale, peak > m_dsdClipAbove);
}

void LevelMeter::publish(float level, bool clipped)
{
    m_blockLevel = level;
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
