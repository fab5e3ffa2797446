#include "dfffilewriter.h"

#include <QDataStream>

DffFileWriter::DffFileWriter(const QString& fileName, int channelCount)
    : AudioFileWriterImpl(fileName, channelCount)
{
}

int DffFileWriter::headerSize() const
{
    return 130;
}

void DffFileWriter::writeHeader()
{
    QByteArray header;
    QDataStream out(&header, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::BigEndian);
    out.writeRawData("FRM8", 4);
    out << quint64(118 + dataBytes);
    out.writeRawData("DSD ", 4);
    out.writeRawData("FVER", 4);
    out << quint64(4) << quint32(0x01050000);
    out.writeRawData("PROP", 4);
    out << quint64(74);
    out.writeRawData("SND ", 4);
    out.writeRawData("FS  ", 4);
    out << quint64(4) << quint32(sampleRate_);
    out.writeRawData("CHNL", 4);
    out << quint64(10) << quint16(channelCount_);
    out.writeRawData("SLFT", 4);
    out.writeRawData("SRGT", 4);
    out.writeRawData("CMPR", 4);
    out << quint64(20);
    out.writeRawData("DSD ", 4);
    out << quint8(14);
    out.writeRawData("not compressed", 14);
    out << quint8(0);
    out.writeRawData("DSD ", 4);
    out << quint64(dataBytes);
    writeAll(header);
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
            // The common stereo case with a fixed stride, which the compiler can vectorise.
            const uchar* left = frame.channelData(0) + i;
            const uchar* right = frame.channelData(1) + i;
            for (qint64 k = 0; k < n; ++k) {
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
