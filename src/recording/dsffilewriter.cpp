#include "dsffilewriter.h"

#include <QDataStream>
#include <array>

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

} // namespace

DsfFileWriter::DsfFileWriter(const QString& fileName, int channelCount)
    : AudioFileWriterImpl(fileName, channelCount), pendingBytes(qMax(channelCount, 0))
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
    pendingBytes.resize(qMax(n, 0));
}

void DsfFileWriter::setBitsPerSample(int)
{
}

void DsfFileWriter::writeHeader()
{
    QByteArray header;
    QDataStream out(&header, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out.writeRawData("DSD ", 4);
    out << quint64(28) << quint64(92 + metadataSize() + dataSize()) << quint64(0);
    out.writeRawData("fmt ", 4);
    out << quint64(52) << quint32(1) << quint32(0) << quint32(channelCount_)
        << quint32(channelCount_) << quint32(sampleRate_) << quint32(1) << quint64(sampleCount())
        << quint32(BlockSize) << quint32(0);
    out.writeRawData("data", 4);
    out << quint64(dataSize() + 12);
    writeAll(header);
}

bool DsfFileWriter::writeBuffer(const AudioBuffer& frame)
{
    if (!frame.isComplete())
        return false;
    const int size = int(frame.size());
    for (int c = 0; c < channelCount_; ++c) {
        QByteArray& pending = pendingBytes[c];
        const int start = pending.size();
        pending.resize(start + size);
        const uchar* src = frame.channelData(c);
        char* dst = pending.data() + start;
        for (int i = 0; i < size; ++i)
            dst[i] = char(reversed[src[i]]);
    }
    return storeFullBlocks();
}

bool DsfFileWriter::storeFullBlocks()
{
    if (channelCount_ <= 0)
        return true;
    const int blocks = pendingBytes[0].size() / BlockSize;
    if (blocks == 0)
        return true;
    QByteArray out;
    out.reserve(blocks * BlockSize * channelCount_);
    for (int b = 0; b < blocks; ++b) {
        for (int c = 0; c < channelCount_; ++c)
            out.append(pendingBytes[c].constData() + b * BlockSize, BlockSize);
    }
    for (QByteArray& pending : pendingBytes)
        pending.remove(0, blocks * BlockSize);
    if (!writeAll(out))
        return false;
    dsfDataBytes += qint64(channelCount_) * blocks * BlockSize;
    realBytesStored += qint64(blocks) * BlockSize;
    return true;
}

void DsfFileWriter::close()
{
    storeFullBlocks();
    if (channelCount_ > 0 && !pendingBytes[0].isEmpty()) {
        const int real = pendingBytes[0].size();
        QByteArray out;
        for (QByteArray& pending : pendingBytes) {
            pending.append(QByteArray(BlockSize - pending.size(), '\0'));
            out.append(pending);
            pending.clear();
        }
        if (writeAll(out)) {
            dsfDataBytes += qint64(channelCount_) * BlockSize;
            realBytesStored += real;
        }
    }
    AudioFileWriterImpl::close();
}
