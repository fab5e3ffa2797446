#include "levelmeter.h"

#include <QtEndian>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#if defined(__GNUC__) && defined(__x86_64__)
#define TESSARO_METER_X86_SIMD 1
#include <immintrin.h>
#endif

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
    // -Q of a byte's low and high nibble: Q is a weighted sum of bits, so the two add up to -Q.
    int8_t negQNibble[2][2][16] = {};  // [bit order][low, high][nibble]
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
    for (int order = 0; order < 2; ++order) {
        for (int nibble = 0; nibble < 16; ++nibble) {
            t.negQNibble[order][0][nibble] = int8_t(-t.q[order][nibble]);
            t.negQNibble[order][1][nibble] = int8_t(-t.q[order][nibble << 4]);
        }
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

// The lowest bytes of a word, as many as asked for.
constexpr uint64_t lowBytesMask(long bytes)
{
    return bytes <= 0 ? 0 : bytes >= 8 ? ~uint64_t(0) : (uint64_t(1) << (8 * bytes)) - 1;
}

// Whole groups while 16 bytes can be read; returns the bytes used. On x86-64 a version with
// the processor's population count is chosen at load time where the processor has one.
#if defined(__GNUC__) && defined(__x86_64__)
// ThreadSanitizer instruments the resolver that picks a clone, which then runs before the
// sanitizer is set up and crashes the program at load: that build takes the default alone.
#if defined(__SANITIZE_THREAD__)
#define TESSARO_POPCNT_CLONES
#else
#define TESSARO_POPCNT_CLONES __attribute__((target_clones("popcnt", "default")))
#endif
TESSARO_POPCNT_CLONES
#endif
long addWholeGroups(const unsigned char* data, long bytes, long groupBytes, long groupsPerOutput,
                    const int16_t* q, DsdCic& s)
{
    // Two words per group, masked to its bytes: groups of up to 16 bytes without a branch.
    const uint64_t masks[2] = {lowBytesMask(groupBytes), lowBytesMask(groupBytes - 8)};
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

// At DSD 4x (16-byte groups, two per output) the CIC stage is the filter y = c + 3a + b over the
// window sums a, b of a pair and the carry c = a' + 3b' of the pair before: no recurrence, so
// pairs are filtered in lanes. Between blocks the carry lives in the CIC state at an output.
constexpr long kPairBytes = 32;
constexpr int32_t kGroupOffset = 64 * 16;

// The carry the next pair adds to its output: the CIC's next output less the part of that pair.
uint32_t pairCarry(const DsdCic& s)
{
    return s.integrators[2] + 2 * s.integrators[1] + 3 * s.integrators[0] - s.combs[0] - s.combs[1]
           - s.combs[2];
}

// The CIC state at an output as if the window sums before it had been zero but the last two,
// carry and 0: it gives the same outputs from here on as the state it replaces.
void setPairCarry(DsdCic& s, uint32_t carry)
{
    s.integrators[0] = carry;
    s.integrators[1] = 2 * carry;
    s.integrators[2] = 3 * carry;
    std::fill(std::begin(s.combs), std::end(s.combs), 3 * carry);
}

// Pairs one by one, from phase 0; returns the bytes used.
#if defined(__GNUC__) && defined(__x86_64__)
TESSARO_POPCNT_CLONES
#endif
long addGroupPairs(const unsigned char* data, long bytes, const int16_t* q, DsdCic& s)
{
    uint32_t carry = pairCarry(s);
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
        const uint32_t a = uint32_t(2 * (8 * bitsA + qA - lastQ) - kGroupOffset);
        const uint32_t b = uint32_t(2 * (8 * bitsB + qB - qA) - kGroupOffset);
        lastQ = qB;
        peak = std::max(peak, magnitude(carry + 3 * a + b));
        carry = a + 3 * b;
    }
    setPairCarry(s, carry);
    s.lastQ = lastQ;
    s.peak = peak;
    return k;
}

#ifdef TESSARO_METER_X86_SIMD
// The steps' helpers are inlined into the loops of either instruction set, so that the eight
// pairs stay in registers.
#define TESSARO_LANES_HELPER __attribute__((target("avx2"), always_inline)) inline

// In lanes the window sums are halved (they are even), so that bit counts times 8 fit a byte.
// Per pair, in its four 64-bit lanes (A, A, B, B): 512 - 8 * the set bits of each 8-byte
// quarter. The nibbles' counts are looked up times 8, the high ones' taken from 64, and psadbw
// sums |low - (64 - high)| = 64 - low - high over the bytes, saving the addition.
TESSARO_LANES_HELPER __m256i quarterCounts(__m256i pair)
{
    const __m256i low8 = _mm256_setr_epi8(
        0, 8, 8, 16, 8, 16, 16, 24, 8, 16, 16, 24, 16, 24, 24, 32,
        0, 8, 8, 16, 8, 16, 16, 24, 8, 16, 16, 24, 16, 24, 24, 32);
    const __m256i high8 = _mm256_setr_epi8(
        64, 56, 56, 48, 56, 48, 48, 40, 56, 48, 48, 40, 48, 40, 40, 32,
        64, 56, 56, 48, 56, 48, 48, 40, 56, 48, 48, 40, 48, 40, 40, 32);
    const __m256i nibble = _mm256_set1_epi8(0x0f);
    const __m256i highNibbles = _mm256_and_si256(_mm256_srli_epi16(pair, 4), nibble);
    return _mm256_sad_epu8(_mm256_shuffle_epi8(low8, _mm256_and_si256(pair, nibble)),
                           _mm256_shuffle_epi8(high8, highNibbles));
}

// Eight pairs' quarters summed per group, one pair per lane: group A in a, group B in b.
TESSARO_LANES_HELPER void groupCounts(const __m256i* quarters, __m256i& a, __m256i& b)
{
    __m256i fours[2];  // of four pairs each: A in the low 128 bits, B in the high
    for (int half = 0; half < 2; ++half) {
        const __m256i* q = quarters + 4 * half;
        const __m256i first = _mm256_add_epi64(q[0], _mm256_slli_epi64(q[1], 32));
        const __m256i second = _mm256_add_epi64(q[2], _mm256_slli_epi64(q[3], 32));
        fours[half] = _mm256_add_epi32(_mm256_unpacklo_epi64(first, second),
                                       _mm256_unpackhi_epi64(first, second));
    }
    a = _mm256_permute2x128_si256(fours[0], fours[1], 0x20);
    b = _mm256_permute2x128_si256(fours[0], fours[1], 0x31);
}

// The filter's state in lanes, with the loop's constants: the nibble tables of -Q, repeated in
// both 128-bit halves for the byte shuffle.
struct PairLanes
{
    __m256i carry;     // m' of the pair before, in every lane
    __m256i peak;
    __m256i lastNegQ;  // -Q of the last byte before the step, in every lane
    __m256i negQLow;
    __m256i negQHigh;
};

constexpr long kStepPairs = 8;
constexpr long kStepBytes = kStepPairs * kPairBytes;

// -Q of the last byte of each group of eight pairs, for A and for B, one pair per lane. The
// unpacks gather bytes 15 and 31 of every pair into the high quarter of each 128-bit half.
TESSARO_LANES_HELPER void lastByteNegQ(const PairLanes& lanes, const __m256i* pairs,
                                       __m256i& negQA, __m256i& negQB)
{
    const __m256i pairs01 = _mm256_unpackhi_epi8(pairs[0], pairs[1]);
    const __m256i pairs23 = _mm256_unpackhi_epi8(pairs[2], pairs[3]);
    const __m256i pairs45 = _mm256_unpackhi_epi8(pairs[4], pairs[5]);
    const __m256i pairs67 = _mm256_unpackhi_epi8(pairs[6], pairs[7]);
    const __m256i last = _mm256_unpackhi_epi32(_mm256_unpackhi_epi16(pairs01, pairs23),
                                               _mm256_unpackhi_epi16(pairs45, pairs67));
    const __m256i nibble = _mm256_set1_epi8(0x0f);
    const __m256i negQ = _mm256_add_epi8(
        _mm256_shuffle_epi8(lanes.negQLow, _mm256_and_si256(last, nibble)),
        _mm256_shuffle_epi8(lanes.negQHigh, _mm256_and_si256(_mm256_srli_epi16(last, 4), nibble)));
    const __m128i both = _mm256_castsi256_si128(_mm256_permute4x64_epi64(negQ, 0x0d));
    negQA = _mm256_cvtepu8_epi32(both);
    negQB = _mm256_cvtepu8_epi32(_mm_srli_si128(both, 8));
}

// The filter over eight pairs in lanes. With g = groupsA - (qA - qPrev) and h alike for B, where
// groups = 1024 - 8 bits, the halved window sums are 512 - g and 512 - h, and the halved output
// is 4096 - m' - n, with n = 3g + h and m' = g' + 3h' of the pair before (carry, in every lane).
// |y| <= 8 * 1024, so no lane overflows.
TESSARO_LANES_HELPER void filterPairs(PairLanes& lanes, const __m256i* pairs, __m256i groupsA,
                                      __m256i groupsB)
{
    const __m256i previousLane = _mm256_setr_epi32(7, 0, 1, 2, 3, 4, 5, 6);
    __m256i negQA, negQB;
    lastByteNegQ(lanes, pairs, negQA, negQB);
    const __m256i negQPrevious = _mm256_blend_epi32(
        _mm256_permutevar8x32_epi32(negQB, previousLane), lanes.lastNegQ, 0x01);
    const __m256i g = _mm256_add_epi32(groupsA, _mm256_sub_epi32(negQA, negQPrevious));
    const __m256i h = _mm256_add_epi32(groupsB, _mm256_sub_epi32(negQB, negQA));
    const __m256i gh = _mm256_add_epi32(g, h);
    const __m256i n = _mm256_add_epi32(gh, _mm256_add_epi32(g, g));
    const __m256i m = _mm256_add_epi32(gh, _mm256_add_epi32(h, h));
    const __m256i before = _mm256_blend_epi32(
        _mm256_permutevar8x32_epi32(m, previousLane), lanes.carry, 0x01);
    const __m256i y = _mm256_sub_epi32(_mm256_add_epi32(before, n), _mm256_set1_epi32(4096));
    lanes.peak = _mm256_max_epu32(lanes.peak, _mm256_abs_epi32(y));
    lanes.carry = _mm256_permutevar8x32_epi32(m, _mm256_set1_epi32(7));
    lanes.lastNegQ = _mm256_permutevar8x32_epi32(negQB, _mm256_set1_epi32(7));
}

TESSARO_LANES_HELPER void loadStep(const unsigned char* step, __m256i* pairs)
{
#pragma GCC unroll 8
    for (long p = 0; p < kStepPairs; ++p)
        pairs[p] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(step + p * kPairBytes));
}

// Steps of eight pairs through the filter, with the processor's AVX2.
__attribute__((target("avx2"))) void filterStepsAvx2(PairLanes& lanes, const unsigned char* data,
                                                     long steps)
{
    for (long step = 0; step < steps; ++step) {
        __m256i pairs[kStepPairs], quarters[kStepPairs];
        loadStep(data + step * kStepBytes, pairs);
#pragma GCC unroll 8
        for (long p = 0; p < kStepPairs; ++p)
            quarters[p] = quarterCounts(pairs[p]);
        __m256i groupsA, groupsB;
        groupCounts(quarters, groupsA, groupsB);
        filterPairs(lanes, pairs, groupsA, groupsB);
    }
}

// The same where the processor counts the bits of 64-bit lanes itself, one instruction per pair
// for the six of the nibble lookup.
__attribute__((target("avx2,avx512vl,avx512vpopcntdq"))) void filterStepsAvx512(
    PairLanes& lanes, const unsigned char* data, long steps)
{
    const __m256i full = _mm256_set1_epi32(1024);
    for (long step = 0; step < steps; ++step) {
        __m256i pairs[kStepPairs], quarters[kStepPairs];
        loadStep(data + step * kStepBytes, pairs);
#pragma GCC unroll 8
        for (long p = 0; p < kStepPairs; ++p)
            quarters[p] = _mm256_popcnt_epi64(pairs[p]);
        __m256i bitsA, bitsB;
        groupCounts(quarters, bitsA, bitsB);
        filterPairs(lanes, pairs, _mm256_sub_epi32(full, _mm256_slli_epi32(bitsA, 3)),
                    _mm256_sub_epi32(full, _mm256_slli_epi32(bitsB, 3)));
    }
}

using StepFilter = void (*)(PairLanes&, const unsigned char*, long);

__attribute__((target("avx2"))) __m256i nibbleTable(const int8_t* values)
{
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(values)));
}

// Pairs in lanes, in steps of eight; returns the bytes used.
__attribute__((target("avx2"))) long addGroupPairsInLanes(const unsigned char* data, long bytes,
                                                          int bitOrder, DsdCic& s,
                                                          StepFilter filterSteps)
{
    PairLanes lanes{_mm256_set1_epi32(2048 - int32_t(pairCarry(s)) / 2), _mm256_setzero_si256(),
                    _mm256_set1_epi32(-s.lastQ), nibbleTable(kDsd.negQNibble[bitOrder][0]),
                    nibbleTable(kDsd.negQNibble[bitOrder][1])};
    const long steps = bytes / kStepBytes;
    filterSteps(lanes, data, steps);
    alignas(32) uint32_t peaks[kStepPairs];
    _mm256_store_si256(reinterpret_cast<__m256i*>(peaks), lanes.peak);
    s.peak = std::max(s.peak, 2 * *std::max_element(std::begin(peaks), std::end(peaks)));
    setPairCarry(s, uint32_t(4096 - 2 * _mm256_cvtsi256_si32(lanes.carry)));
    s.lastQ = -_mm256_cvtsi256_si32(lanes.lastNegQ);
    return steps * kStepBytes;
}

bool detectAvx2()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

const bool hasAvx2 = detectAvx2();

StepFilter pickStepFilter()
{
    if (__builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vpopcntdq"))
        return filterStepsAvx512;
    return hasAvx2 ? filterStepsAvx2 : nullptr;
}

const StepFilter stepFilter = pickStepFilter();

// The extremes of whole steps of eight words (little-endian, as the processor), folded into lo
// and hi where the processor has AVX2; returns the words used.
__attribute__((target("avx2"))) long pcmExtremesAvx2(const unsigned char* data, long samples,
                                                      int32_t& lo, int32_t& hi)
{
    constexpr int kLanes = 8;
    __m256i lows = _mm256_set1_epi32(lo);
    __m256i highs = _mm256_set1_epi32(hi);
    long i = 0;
    for (; i + kLanes <= samples; i += kLanes) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + 4 * i));
        lows = _mm256_min_epi32(lows, v);
        highs = _mm256_max_epi32(highs, v);
    }
    alignas(32) int32_t laneLows[kLanes], laneHighs[kLanes];
    _mm256_store_si256(reinterpret_cast<__m256i*>(laneLows), lows);
    _mm256_store_si256(reinterpret_cast<__m256i*>(laneHighs), highs);
    lo = *std::min_element(std::begin(laneLows), std::end(laneLows));
    hi = *std::max_element(std::begin(laneHighs), std::end(laneHighs));
    return i;
}
#endif

// Elsewhere in eight lanes, so that the comparisons of neighbouring words do not wait on each
// other.
void pcmExtremes(const unsigned char* data, long samples, int32_t& lo, int32_t& hi)
{
    constexpr int kLanes = 8;
    lo = std::numeric_limits<int32_t>::max();
    hi = std::numeric_limits<int32_t>::min();
    long i = 0;
#ifdef TESSARO_METER_X86_SIMD
    if (hasAvx2)
        i = pcmExtremesAvx2(data, samples, lo, hi);
#endif
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
    // Read before the exchange, which would lock the bus at every block.
    if (m_resetPending.load(std::memory_order_relaxed) && m_resetPending.exchange(false))
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
    const int bitOrder = oldestInMsb ? 0 : 1;
    const int16_t* q = kDsd.q[bitOrder];
    m_cic.peak = 0;
    long k = 0;
    while (k < bytes && m_groupFill > 0)
        addByte(data[k++], q);
    if (m_groupBytes == 16 && m_groupsPerOutput == 2) {
        // Pairs begin at an output; a group left over from the previous block goes first.
        if (m_cic.phase != 0 && k + 16 <= bytes)
            k += addWholeGroups(data + k, 16, m_groupBytes, m_groupsPerOutput, q, m_cic);
        if (m_cic.phase == 0) {
#ifdef TESSARO_METER_X86_SIMD
            if (stepFilter)
                k += addGroupPairsInLanes(data + k, bytes - k, bitOrder, m_cic, stepFilter);
#endif
            k += addGroupPairs(data + k, bytes - k, q, m_cic);
        }
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
