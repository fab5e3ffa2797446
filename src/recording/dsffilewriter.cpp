#include "dsffilewriter.h"

#include "headerbytes.h"
#include <algorithm>
#include <array>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif
#if defined(__GNUC__) && defined(__x86_64__)
#define TESSARO_DSF_AVX2 1
#include <immintrin.h>
#endif

namespace {

std::array<uchar, 256> makeReversalTable()
{
    std::array<uchar, 256> table{};
    for (int v = 0; v < 256; ++v) {
        uchar r = 0;
        for (int bit = 0; bit < 8; ++bit) {
            if (v & (1 << bit))
                r |= uchar(1 << (7 - bit));
        }
        table[size_t(v)] = r;
    }
    return table;
}

const std::array<uchar, 256> reversed = makeReversalTable();

// The bits of each of the eight bytes reversed at once, the bytes themselves staying in place.
quint64 reverseBitsOfBytes(quint64 x)
{
    x = ((x >> 1) & 0x5555555555555555ull) | ((x & 0x5555555555555555ull) << 1);
    x = ((x >> 2) & 0x3333333333333333ull) | ((x & 0x3333333333333333ull) << 2);
    return ((x >> 4) & 0x0f0f0f0f0f0f0f0full) | ((x & 0x0f0f0f0f0f0f0f0full) << 4);
}

#ifdef __SSE2__
// The same on sixteen bytes; the masks keep the 16-bit shifts from crossing bytes.
__m128i reverseBitsOfBytes(__m128i x)
{
    const __m128i m1 = _mm_set1_epi8(0x55), m2 = _mm_set1_epi8(0x33), m4 = _mm_set1_epi8(0x0f);
    x = _mm_or_si128(_mm_and_si128(_mm_srli_epi16(x, 1), m1),
                     _mm_slli_epi16(_mm_and_si128(x, m1), 1));
    x = _mm_or_si128(_mm_and_si128(_mm_srli_epi16(x, 2), m2),
                     _mm_slli_epi16(_mm_and_si128(x, m2), 2));
    return _mm_or_si128(_mm_and_si128(_mm_srli_epi16(x, 4), m4),
                        _mm_slli_epi16(_mm_and_si128(x, m4), 4));
}
#endif

#ifdef TESSARO_DSF_AVX2
// The reversal is most of the writer thread's own work on DSF: where the processor has AVX2 it
// looks both nibbles of 32 bytes up in a 16-entry table at once, a third of the SSE2 steps.
// The samples come from a pool far larger than the caches, and each block starts on a page the
// hardware prefetcher has not seen: next (may be null), the block to be reversed after this
// one, is fetched line by line meanwhile.
__attribute__((target("avx2"))) qint64 copyReversedAvx2(char* dst, const uchar* src, qint64 n,
                                                        const uchar* next)
{
    // Entry v holds v's four bits reversed: in the high nibble for the low one, and the reverse.
    const __m256i toHigh =
        _mm256_setr_epi8(0x00, char(0x80), 0x40, char(0xc0), 0x20, char(0xa0), 0x60, char(0xe0),
                         0x10, char(0x90), 0x50, char(0xd0), 0x30, char(0xb0), 0x70, char(0xf0),
                         0x00, char(0x80), 0x40, char(0xc0), 0x20, char(0xa0), 0x60, char(0xe0),
                         0x10, char(0x90), 0x50, char(0xd0), 0x30, char(0xb0), 0x70, char(0xf0));
    const __m256i toLow = _mm256_setr_epi8(0x0, 0x8, 0x4, 0xc, 0x2, 0xa, 0x6, 0xe, 0x1, 0x9, 0x5,
                                           0xd, 0x3, 0xb, 0x7, 0xf, 0x0, 0x8, 0x4, 0xc, 0x2, 0xa,
                                           0x6, 0xe, 0x1, 0x9, 0x5, 0xd, 0x3, 0xb, 0x7, 0xf);
    const __m256i nibble = _mm256_set1_epi8(0x0f);
    qint64 i = 0;
    for (; i + 32 <= n; i += 32) {
        if (next && (i & 63) == 0)
            _mm_prefetch(reinterpret_cast<const char*>(next + i), _MM_HINT_T0);
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
        const __m256i low = _mm256_and_si256(x, nibble);
        const __m256i high = _mm256_and_si256(_mm256_srli_epi16(x, 4), nibble);
        const __m256i r =
            _mm256_or_si256(_mm256_shuffle_epi8(toHigh, low), _mm256_shuffle_epi8(toLow, high));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), r);
    }
    return i;
}

bool detectAvx2()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

const bool hasAvx2 = detectAvx2();
#endif

void copyReversed(char* dst, const uchar* src, qint64 n, const uchar* next = nullptr)
{
    qint64 i = 0;
#ifdef TESSARO_DSF_AVX2
    if (hasAvx2)
        i = copyReversedAvx2(dst, src, n, next);
#endif
#ifdef __SSE2__
    for (; i + 16 <= n; i += 16) {
        const __m128i word = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), reverseBitsOfBytes(word));
    }
#endif
    for (; i + 8 <= n; i += 8) {
        quint64 word;
        std::memcpy(&word, src + i, 8);
        word = reverseBitsOfBytes(word);
        std::memcpy(dst + i, &word, 8);
    }
    for (; i < n; ++i)
        dst[i] = char(reversed[src[i]]);
}

} // namespace

DsfFileWriter::DsfFileWriter(const QString& fileName, int channelCount)
    : AudioFileWriterImpl(fileName, channelCount),
      pendingBytes(size_t(qMax(channelCount, 0)), std::vector<char>(BlockSize))
{}

int DsfFileWriter::headerSize() const
{
    return 92;
}

qint64 DsfFileWriter::dataSize() const
{
    return dsfDataBytes;
}

qint64 DsfFileWriter::metadataSize() const
{
    return tagStored ? metadataBytes.size() : 0;
}

QByteArray DsfFileWriter::metadataChunk() const
{
    return metadata.id3v2Tag(sampleRate_);
}

qint64 DsfFileWriter::sampleCount() const
{
    if (channelCount_ <= 0)
        return 0;
    return realBytesStored * 8 / bitsPerSample();
}

int DsfFileWriter::bitsPerSample() const
{
    return 1;
}

void DsfFileWriter::setChannelCount(int n)
{
    if (n == channelCount_)
        return;
    channelCount_ = n;
    pendingBytes.assign(size_t(qMax(n, 0)), std::vector<char>(BlockSize));
    pendingFill = 0;
}

void DsfFileWriter::setBitsPerSample(int) {}

void DsfFileWriter::writeHeader()
{
    HeaderBytes out(HeaderBytes::LittleEndian);
    const quint64 metadataPointer = tagStored ? quint64(92 + dataSize()) : 0;
    out.id("DSD ").u64(28).u64(quint64(92 + metadataSize() + dataSize())).u64(metadataPointer);
    out.id("fmt ")
        .u64(52)
        .u32(1)
        .u32(0)
        .u32(quint32(channelCount_))
        .u32(quint32(channelCount_))
        .u32(quint32(sampleRate_))
        .u32(1)
        .u64(quint64(sampleCount()))
        .u32(BlockSize)
        .u32(0);
    out.id("data").u64(quint64(dataSize() + 12));
    writeAll(out);
}

bool DsfFileWriter::writeBuffer(const AudioBuffer& frame)
{
    if (!accepts(frame))
        return false;
    const qint64 size = frame.size();
    for (qint64 pos = 0, n = 0; pos < size; pos += n) {
        n = qMin<qint64>(BlockSize - pendingFill, size - pos);
        if (n == BlockSize) {
            if (!storeFrameBlocks(frame, pos))
                return false;
            continue;
        }
        for (int c = 0; c < channelCount_; ++c)
            copyReversed(pendingBytes[size_t(c)].data() + pendingFill, frame.channelData(c) + pos,
                         n);
        pendingFill += int(n);
        if (pendingFill == BlockSize && !storeBlockGroup(BlockSize))
            return false;
    }
    return true;
}

// A whole block of every channel with nothing staged before it goes straight into the write
// buffer.
bool DsfFileWriter::storeFrameBlocks(const AudioBuffer& frame, qint64 pos)
{
    char* out = reserveGroup();
    if (!out)
        return false;
    for (int c = 0; c < channelCount_; ++c) {
        // The block stored after this one: the next channel's, or the first channel's next one.
        const uchar* next = nullptr;
        if (c + 1 < channelCount_)
            next = frame.channelData(c + 1) + pos;
        else if (pos + 2 * BlockSize <= frame.size())
            next = frame.channelData(0) + pos + BlockSize;
        copyReversed(out + qint64(c) * BlockSize, frame.channelData(c) + pos, BlockSize, next);
    }
    commitGroup(BlockSize);
    return true;
}

bool DsfFileWriter::storeBlockGroup(int realBytes)
{
    char* out = reserveGroup();
    if (!out)
        return false;
    for (std::vector<char>& pending : pendingBytes) {
        std::fill(pending.begin() + realBytes, pending.end(), '\0');
        std::copy(pending.begin(), pending.end(), out);
        out += BlockSize;
    }
    commitGroup(realBytes);
    pendingFill = 0;
    return true;
}

char* DsfFileWriter::reserveGroup()
{
    qint64 granted = 0;
    return reserve(1, BlockSize * channelCount_, &granted);
}

void DsfFileWriter::commitGroup(int realBytes)
{
    commit(qint64(BlockSize) * channelCount_);
    dsfDataBytes += qint64(channelCount_) * BlockSize;
    realBytesStored += realBytes;
}

void DsfFileWriter::close()
{
    if (channelCount_ > 0 && pendingFill > 0 && !hasFailed())
        storeBlockGroup(pendingFill);
    if (!metadataBytes.isEmpty() && flush()) {
        // A tag the disk takes only in part is cut off again: the header then points to none.
        tagStored = writeAll(metadataBytes);
        if (!tagStored)
            file_.resize(92 + dataSize());
    }
    AudioFileWriterImpl::close();
}

qint64 DsfFileWriter::unitBytes() const
{
    return qint64(BlockSize) * channelCount_;
}

// Only whole block groups are kept, and every sample in them is real.
void DsfFileWriter::keepDataBytes(qint64 bytes)
{
    dsfDataBytes = bytes;
    realBytesStored = channelCount_ > 0 ? bytes / channelCount_ : 0;
}
