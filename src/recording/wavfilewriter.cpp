#include "wavfilewriter.h"

#include <QDataStream>
#include <cstring>

WavFileWriter::WavFileWriter(const QString& fileName, int channelCount)
    : AudioFileWriterImpl(fileName, channelCount)
{
}

int WavFileWriter::headerSize() const
{
    return 44;
}

void WavFileWriter::writeHeader()
{
    const quint16 blockAlign = quint16(bitsPerSample_ * channelCount_ / 8);
    const quint32 dataSize = quint32(dataBytes);
    QByteArray header;
    QDataStream out(&header, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out.writeRawData("RIFF", 4);
    out << quint32(dataSize + 36);
    out.writeRawData("WAVE", 4);
    out.writeRawData("fmt ", 4);
    out << quint32(16) << quint16(1) << quint16(channelCount_) << quint32(sampleRate_)
        << quint32(quint32(sampleRate_) * blockAlign) << blockAlign << quint16(bitsPerSample_);
    out.writeRawData("data", 4);
    out << dataSize;
    writeAll(header);
}

bool WavFileWriter::writeBuffer(const AudioBuffer& frame)
{
    if (!frame.isComplete())
        return false;
    const qint64 words = frame.size() / 4;
    const int channels = channelCount_;
    QByteArray out(int(words * 4 * channels), Qt::Uninitialized);
    // The words are stored as they arrive: the driver delivers 32-bit little-endian integers.
    for (int c = 0; c < channels; ++c) {
        const uchar* src = frame.channelData(c);
        char* dst = out.data() + 4 * c;
        for (qint64 j = 0; j < words; ++j, src += 4, dst += 4 * channels)
            std::memcpy(dst, src, 4);
    }
    if (!writeAll(out))
        return false;
    dataBytes += out.size();
    return true;
}
