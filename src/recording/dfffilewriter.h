#ifndef TESSARO_DFFFILEWRITER_H
#define TESSARO_DFFFILEWRITER_H

#include "audiofilewriterimpl.h"

// DSDIFF 1.5, uncompressed stereo DSD: a 130-byte header (with the recording's "COMT" chunk
// between the properties and the sound data when it carries metadata), then the channels'
// bytes interleaved.
class DffFileWriter : public AudioFileWriterImpl
{
public:
    DffFileWriter(const QString& fileName, int channelCount);
    int headerSize() const override;
    void writeHeader() override;
    bool writeBuffer(const AudioBuffer& frame) override;

protected:
    qint64 unitBytes() const override;
    QByteArray metadataChunk() const override;
};

#endif
