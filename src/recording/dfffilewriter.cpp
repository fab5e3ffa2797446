#include "dfffilewriter.h"

#include "headerbytes.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

DffFileWriter::DffFileWriter(const QString& fileName, int channelCount)
    : AudioFileWriterImpl(fileName, channelCount)
{}

int DffFileWriter::headerSize() const
{
    return 130 + int(metadataBytes.size());
}

QByteArray DffFileWriter::metadataChunk() const
{
    return metadata.comtChunk(sampleRate_);
}

void DffFileWriter::writeHeader()
{
    HeaderBytes out(HeaderBytes::BigEndian);
    out.id("FRM8").u64(quint64(headerSize() - 12 + dataBytes)).id("DSD ");
    out.id("FVER").u64(4).u32(0x01050000);
    out.id("PROP").u64(74).id("SND ");
    out.id("FS  ").u64(4).u32(quint32(sampleRate_));
    out.id("CHNL").u64(10).u16(quint16(channelCount_)).id("SLFT").id("SRGT");
    out.id("CMPR").u64(20).id("DSD ").u8(14).raw("not compressed", 14).u8(0);
    writeAll(out);
    writeAll(metadataBytes);
    HeaderBytes sound(HeaderBytes::BigEndian);
    sound.id("DSD ").u64(quint64(dataBytes));
    writeAll(sound);
}

bool DffFileWriter::writeBuffer(const AudioBuffer& frame)
{
    if (!accepts(frame))
        return false;
    const qint64 size = frame.size();
    const int channels = channelCount_;
    for (qint64 i = 0, n = 0; i < size; i += n) {
        char* out = reserve(size - i, channels, &n);
        if (!out)
            return false;
        if (channels == 2) {
            // The common stereo case: sixteen bytes of each channel at a time where SSE2 exists.
            const uchar* left = frame.channelData(0) + i;
            const uchar* right = frame.channelData(1) + i;
            qint64 k = 0;
#ifdef __SSE2__
            for (; k + 16 <= n; k += 16) {
                const __m128i l = _mm_loadu_si128(reinterpret_cast<const __m128i*>(left + k));
                const __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i*>(right + k));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * k), _mm_unpacklo_epi8(l, r));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * k + 16),
                                 _mm_unpackhi_epi8(l, r));
            }
#endif
            for (; k < n; ++k) {
                out[2 * k] = char(left[k]);
                out[2 * k + 1] = char(right[k]);
            }
        } else {
            for (int c = 0; c < channels; ++c) {
                const uchar* src = frame.channelData(c) + i;
                char* dst = out + c;
                for (qint64 k = 0; k < n; ++k, dst += channels)
                    *dst = char(src[k]);
            }
        }
        commit(n * channels);
        dataBytes += n * channels;
    }
    return true;
}

qint64 DffFileWriter::unitBytes() const
{
    return channelCount_;
}
