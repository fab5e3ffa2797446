#ifndef TESSARO_WAVFILEWRITER_H
#define TESSARO_WAVFILEWRITER_H

#include "audiofilewriterimpl.h"

// RIFF/WAVE PCM: a 44-byte header (with the recording's "bext" chunk before "data" when it
// carries metadata), then the channels' 32-bit words interleaved. A stream's header gives both
// sizes as 0xFFFFFFFF.
class WavFileWriter : public AudioFileWriterImpl
{
public:
    WavFileWriter(const QString& fileName, int channelCount);
    int headerSize() const override;
    void writeHeader() override;
    bool writeBuffer(const AudioBuffer& frame) override;

protected:
    qint64 unitBytes() const override;
    QByteArray metadataChunk() const override;
};

#endif
