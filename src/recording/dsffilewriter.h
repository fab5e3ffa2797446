#ifndef TESSARO_DSFFILEWRITER_H
#define TESSARO_DSFFILEWRITER_H

#include "audiofilewriterimpl.h"

#include <vector>

// DSF: a 92-byte header of three chunks, then per channel 4096-byte blocks of bit-reversed
// bytes (DSF keeps the oldest sample in the least significant bit). The recording's ID3v2 tag,
// when it carries metadata, follows the sample data, where the header's metadata pointer
// points: it is added at close, once the data's length is known.
class DsfFileWriter : public AudioFileWriterImpl
{
public:
    static constexpr int BlockSize = 4096;

    DsfFileWriter(const QString& fileName, int channelCount);
    int headerSize() const override;
    void writeHeader() override;
    bool writeBuffer(const AudioBuffer& frame) override;
    void close() override;
    int bitsPerSample() const override;
    void setChannelCount(int n) override;
    void setBitsPerSample(int bits) override;

    virtual qint64 dataSize() const;
    virtual qint64 metadataSize() const;
    qint64 sampleCount() const;

protected:
    qint64 unitBytes() const override;
    void keepDataBytes(qint64 bytes) override;
    QByteArray metadataChunk() const override;

private:
    bool storeFrameBlocks(const AudioBuffer& frame, qint64 pos);
    // Stores the staged block of every channel, zero-padded after its first realBytes.
    bool storeBlockGroup(int realBytes);
    // A block group's room in the write buffer, and its counting once filled.
    char* reserveGroup();
    void commitGroup(int realBytes);

    qint64 dsfDataBytes = 0;
    // Samples per channel that reached the file, padding excluded: players stop there, so
    // the zero padding of the last block never sounds as a click.
    qint64 realBytesStored = 0;
    // One block per channel, made with the writer: bit-reversed bytes not yet stored, the
    // first pendingFill of each.
    std::vector<std::vector<char>> pendingBytes;
    int pendingFill = 0;
    bool tagStored = false;
};

#endif
