#include "levelmeter.h"

#include <QtEndian>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace {

// The window over the one-bit samples is a triangle over two bytes, weights 1, 2, ..., 8 on the
// older byte's samples and 7, 6, ..., 0 on the newer one's (oldest first, sum 64), samples read
// as +1 and -1. With U(b) the weighted sum of b's set bits as the newer byte, bits(b) its set
// bits, and Q(b) = U(b) - 8 bits(b), the window sums over a group of G bytes telescope to
//   2 (8 bits(group) + Q(last byte) - Q(last byte of the previous group)) - 64 G,
// so a group costs one population count and one table look-up: a triangle smoothed by a
// G-byte boxcar, ahead of the CIC stage.
struct DsdTables
{
    int8_t bits[256] = {};
    int16_t q[2][256] = {};  // [0] oldest sample in the most significant bit, [1] least
};

constexpr DsdTables makeDsdTables()
{
    DsdTables t;
    for (int byte = 0; byte < 256; ++byte) {
        int bits = 0;
        int u[2] = {0, 0};
        for (int age = 0; age < 8; ++age) {
            const int msbFirst = (byte >> (7 - age)) & 1;
            const int lsbFirst = (byte >> age) & 1;
            bits += msbFirst;
            u[0] += msbFirst * (7 - age);
            u[1] += lsbFirst * (7 - age);
        }
        t.bits[byte] = int8_t(bits);
        t.q[0][byte] = int16_t(u[0] - 8 * bits);
        t.q[1][byte] = int16_t(u[1] - 8 * bits);
    }
    return t;
}

constexpr DsdTables kDsd = makeDsdTables();

// Bytes per group at DSD 1x, 2x and 4x: single bytes at 1x, where the modulation noise is
// strongest near the group rate, groups at 176.4 kHz at 2x and at 88.2 kHz at 4x, where it is
// weakest. The CIC stage decimates the groups to 44.1 kHz, 8 bytes per output at 1x.
constexpr long kGroupBytes[] = {1, 4, 16};
static_assert(kGroupBytes[2] <= 16, "a group is counted in two 64-bit words");
constexpr long kBytesPerOutputAt1x = 8;
constexpr unsigned char kDsdSilence = 0x69;

// Without a branch: the sign of the filter output is as good as random in noisy material.
uint32_t magnitude(uint32_t twosComplement)
{
    const uint32_t sign = 0u - (twosComplement >> 31);
    return (twosComplement ^ sign) - sign;
}

// One group's window sum into the CIC stage; every groupsPerOutput groups an output sample.
inline void addGroup(DsdCic& s, int bits, int32_t lastQ, long groupBytes, long groupsPerOutput)
{
    const int32_t sum = 2 * (8 * bits + lastQ - s.lastQ) - 64 * int32_t(groupBytes);
    s.lastQ = lastQ;
    s.integrators[0] += uint32_t(sum);
    s.integrators[1] += s.integrators[0];
    s.integrators[2] += s.integrators[1];
    if (++s.phase < groupsPerOutput)
        return;
    s.phase = 0;
    const uint32_t c1 = s.integrators[2] - s.combs[0];
    const uint32_t c2 = c1 - s.combs[1];
    const uint32_t y = c2 - s.combs[2];
    s.combs[0] = s.integrators[2];
    s.combs[1] = c1;
    s.combs[2] = c2;
    s.peak = std::max(s.peak, magnitude(y));
}

// Whole groups while 16 bytes can be read; returns the bytes used. On x86-64 a version with
// the processor's population count is chosen at load time where the processor has one.
#if defined(__GNUC__) && defined(__x86_64__)
__attribute__((target_clones("popcnt", "default")))
#endif
long addWholeGroups(const unsigned char* data, long bytes, long groupBytes, long groupsPerOutput,
                    const int16_t* q, DsdCic& s)
{
    // Two words per group, masked to its bytes: groups of up to 16 bytes without a branch.
    uint64_t masks[2] = {0, 0};
    for (long byte = 0; byte < groupBytes; ++byte)
        masks[byte / 8] |= uint64_t(0xff) << (8 * (byte % 8));
    // A copy the bytes read cannot alias, so the state stays in registers.
    DsdCic local = s;
    long k = 0;
    for (; k + 16 <= bytes; k += groupBytes) {
        uint64_t words[2];
        std::memcpy(words, data + k, sizeof words);
        const int bits = __builtin_popcountll(qFromLittleEndian(words[0]) & masks[0])
                         + __builtin_popcountll(qFromLittleEndian(words[1]) & masks[1]);
        addGroup(local, bits, q[data[k + groupBytes - 1]], groupBytes, groupsPerOutput);
    }
    s = local;
    return k;
}

// DSD 4x (16-byte groups, two per output) two groups per step: the integrators advance by both
// window sums a and b at once, so no phase is counted and one output falls out of every step,
// with the same figures as two calls of addGroup. Starts at phase 0; returns the bytes used.
#if defined(__GNUC__) && defined(__x86_64__)
__attribute__((target_clones("popcnt", "default")))
#endif
long addGroupPairs(const unsigned char* data, long bytes, const int16_t* q, DsdCic& s)
{
    constexpr long kPairBytes = 32;
    constexpr int32_t kOffset = 64 * 16;
    uint32_t i0 = s.integrators[0], i1 = s.integrators[1], i2 = s.integrators[2];
    uint32_t c0 = s.combs[0], c1 = s.combs[1], c2 = s.combs[2];
    int32_t lastQ = s.lastQ;
    uint32_t peak = s.peak;
    long k = 0;
    for (; k + kPairBytes <= bytes; k += kPairBytes) {
        uint64_t words[4];
        std::memcpy(words, data + k, sizeof words);
        const int bitsA = __builtin_popcountll(words[0]) + __builtin_popcountll(words[1]);
        const int bitsB = __builtin_popcountll(words[2]) + __builtin_popcountll(words[3]);
        const int32_t qA = q[data[k + 15]];
        const int32_t qB = q[data[k + 31]];
        const uint32_t a = uint32_t(2 * (8 * bitsA + qA - lastQ) - kOffset);
        const uint32_t b = uint32_t(2 * (8 * bitsB + qB - qA) - kOffset);
        lastQ = qB;
        i2 += 2 * i1 + 3 * i0 + 3 * a + b;
        i1 += 2 * i0 + 2 * a + b;
        i0 += a + b;
        const uint32_t d1 = i2 - c0;
        const uint32_t d2 = d1 - c1;
        const uint32_t y = d2 - c2;
        c0 = i2;
        c1 = d1;
        c2 = d2;
        peak = std::max(peak, magnitude(y));
    }
    s.integrators[0] = i0; s.integrators[1] = i1; s.integrators[2] = i2;
    s.combs[0] = c0; s.combs[1] = c1; s.combs[2] = c2;
    s.lastQ = lastQ;
    s.peak = peak;
    return k;
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
    m_groupBytes = kGroupBytes[multiple >= 4 ? 2 : multiple - 1];
    m_groupsPerOutput = kBytesPerOutputAt1x * multiple / m_groupBytes;
    const double reference =
        0.5 * 64 * double(m_groupBytes) * std::pow(double(m_groupsPerOutput), 3);
    m_dsdScale = float(1.0 / reference);
    m_dsdClipAbove = uint32_t(reference * std::pow(10.0, kDsdClipDb / 20.0));
    m_cic = DsdCic();
    m_cic.lastQ = kDsd.q[0][kDsdSilence];
    m_groupFill = 0;
    m_groupBits = 0;
    m_fullScaleRun = 0;
}

void LevelMeter::process(const unsigned char* data, ASIOSampleType type, long samples)
{
    if (m_resetPending.exchange(false))
        clearFilter(m_pendingMultiple);
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

// A group begun in the previous block is finished byte by byte, so is the tail of this one.
void LevelMeter::processDsd(const unsigned char* data, long bytes, bool oldestInMsb)
{
    const int16_t* q = kDsd.q[oldestInMsb ? 0 : 1];
    m_cic.peak = 0;
    long k = 0;
    while (k < bytes && m_groupFill > 0)
        addByte(data[k++], q);
    if (m_groupBytes == 16 && m_groupsPerOutput == 2) {
        // Pairs begin at an output; a group left over from the previous block goes first.
        if (m_cic.phase != 0 && k + 16 <= bytes)
            k += addWholeGroups(data + k, 16, m_groupBytes, m_groupsPerOutput, q, m_cic);
        if (m_cic.phase == 0)
            k += addGroupPairs(data + k, bytes - k, q, m_cic);
    }
    k += addWholeGroups(data + k, bytes - k, m_groupBytes, m_groupsPerOutput, q, m_cic);
    while (k < bytes)
        addByte(data[k++], q);
    publish(float(m_cic.peak) * m_dsdScale, m_cic.peak > m_dsdClipAbove);
}

void LevelMeter::addByte(unsigned char byte, const int16_t* q)
{
    m_groupBits += kDsd.bits[byte];
    if (++m_groupFill < m_groupBytes)
        return;
    addGroup(m_cic, m_groupBits, q[byte], m_groupBytes, m_groupsPerOutput);
    m_groupFill = 0;
    m_groupBits = 0;
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
