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
    if (!frame.isComplete())
        return false;
    const qint64 size = frame.size();
    const int channels = channelCount_;
    // Interleave in memory and hand the file one write: the bytes on disk are the same as
    // writing them one by one, at the disk's pace instead of a call per byte.
    QByteArray out(int(size * channels), Qt::Uninitialized);
    for (int c = 0; c < channels; ++c) {
        const uchar* src = frame.channelData(c);
        char* dst = out.data() + c;
        for (qint64 i = 0; i < size; ++i, dst += channels)
            *dst = char(src[i]);
    }
    if (!writeAll(out))
        return false;
    dataBytes += out.size();
    return true;
}
