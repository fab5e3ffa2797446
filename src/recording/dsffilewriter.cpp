#include "dsffilewriter.h"

#include "headerbytes.h"
#include <algorithm>
#include <array>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
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
    x = _mm_or_si128(_mm_and_si128(_mm_srli_epi16(x, 1), m1), _mm_slli_epi16(_mm_and_si128(x, m1), 1));
    x = _mm_or_si128(_mm_and_si128(_mm_srli_epi16(x, 2), m2), _mm_slli_epi16(_mm_and_si128(x, m2), 2));
    return _mm_or_si128(_mm_and_si128(_mm_srli_epi16(x, 4), m4), _mm_slli_epi16(_mm_and_si128(x, m4), 4));
}
#endif

void copyReversed(char* dst, const uchar* src, qint64 n)
{
    qint64 i = 0;
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
{
}

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
    return 0;
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

void DsfFileWriter::setBitsPerSample(int)
{
}

void DsfFileWriter::writeHeader()
{
    HeaderBytes out(HeaderBytes::LittleEndian);
    out.id("DSD ").u64(28).u64(quint64(92 + metadataSize() + dataSize())).u64(0);
    out.id("fmt ").u64(52).u32(1).u32(0).u32(quint32(channelCount_)).u32(quint32(channelCount_))
        .u32(quint32(sampleRate_)).u32(1).u64(quint64(sampleCount())).u32(BlockSize).u32(0);
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
            copyReversed(pendingBytes[size_t(c)].data() + pendingFill, frame.channelData(c) + pos, n);
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
    for (int c = 0; c < channelCount_; ++c)
        copyReversed(out + qint64(c) * BlockSize, frame.channelData(c) + pos, BlockSize);
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
