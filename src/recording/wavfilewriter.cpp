#include "wavfilewriter.h"

#include "headerbytes.h"

#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

WavFileWriter::WavFileWriter(const QString& fileName, int channelCount)
    : AudioFileWriterImpl(fileName, channelCount)
{}

int WavFileWriter::headerSize() const
{
    return 44 + int(metadataBytes.size());
}

// Broadcast WAVE: the "bext" chunk goes between "fmt " and "data".
QByteArray WavFileWriter::metadataChunk() const
{
    return metadata.bextChunk(sampleRate_, channelCount_, bitsPerSample_);
}

void WavFileWriter::writeHeader()
{
    const quint16 blockAlign = quint16(bitsPerSample_ * channelCount_ / 8);
    // A stream's sizes are unknown when its header goes out: the largest value says "up to the
    // end", which readers of piped WAV take to mean "read until the data stop".
    constexpr quint32 kUnknown = 0xFFFFFFFF;
    const quint32 dataSize = isStream() ? kUnknown : quint32(dataBytes);
    const quint32 riffSize = isStream() ? kUnknown : dataSize + quint32(headerSize() - 8);
    HeaderBytes out(HeaderBytes::LittleEndian);
    out.id("RIFF").u32(riffSize).id("WAVE");
    out.id("fmt ")
        .u32(16)
        .u16(1)
        .u16(quint16(channelCount_))
        .u32(quint32(sampleRate_))
        .u32(quint32(sampleRate_) * blockAlign)
        .u16(blockAlign)
        .u16(quint16(bitsPerSample_));
    writeAll(out);
    writeAll(metadataBytes);
    HeaderBytes data(HeaderBytes::LittleEndian);
    data.id("data").u32(dataSize);
    writeAll(data);
}

bool WavFileWriter::writeBuffer(const AudioBuffer& frame)
{
    if (!accepts(frame))
        return false;
    const qint64 words = frame.size() / 4;
    const int channels = channelCount_;
    // The words are stored as they arrive: the driver delivers 32-bit little-endian integers.
    for (qint64 j = 0, n = 0; j < words; j += n) {
        char* out = reserve(words - j, 4 * channels, &n);
        if (!out)
            return false;
        if (channels == 2) {
            // The common stereo case: four words of each channel at a time where SSE2 exists.
            const uchar* left = frame.channelData(0) + 4 * j;
            const uchar* right = frame.channelData(1) + 4 * j;
            qint64 k = 0;
#ifdef __SSE2__
            for (; k + 4 <= n; k += 4) {
                const __m128i l = _mm_loadu_si128(reinterpret_cast<const __m128i*>(left + 4 * k));
                const __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(right + 4 * k));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 * k), _mm_unpacklo_epi32(l, r));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 * k + 16),
                                 _mm_unpackhi_epi32(l, r));
            }
#endif
            for (; k < n; ++k) {
                std::memcpy(out + 8 * k, left + 4 * k, 4);
                std::memcpy(out + 8 * k + 4, right + 4 * k, 4);
            }
        } else {
            for (int c = 0; c < channels; ++c) {
                const uchar* src = frame.channelData(c) + 4 * j;
                char* dst = out + 4 * c;
                for (qint64 k = 0; k < n; ++k, src += 4, dst += 4 * channels)
                    std::memcpy(dst, src, 4);
            }
        }
        commit(n * 4 * channels);
        dataBytes += n * 4 * channels;
    }
    return true;
}

qint64 WavFileWriter::unitBytes() const
{
    return 4 * qint64(channelCount_);
}
