#ifndef TESSARO_AUDIOFILEWRITERIMPL_H
#define TESSARO_AUDIOFILEWRITERIMPL_H

#include "audiobuffer.h"

#include <QByteArray>
#include <QFile>
#include <QString>

// The abstract format writer: owns the file and the stream parameters, opens and closes; the
// subclasses lay out the header and store frames.
//
// Threads: used by the writer thread only.
class AudioFileWriterImpl
{
public:
    AudioFileWriterImpl(const QString& fileName, int channelCount);
    AudioFileWriterImpl(const AudioFileWriterImpl&) = delete;
    AudioFileWriterImpl& operator=(const AudioFileWriterImpl&) = delete;

    virtual int headerSize() const = 0;
    virtual void writeHeader() = 0;
    virtual bool writeBuffer(const AudioBuffer& frame) = 0;
    virtual void close();
    virtual ~AudioFileWriterImpl();
    virtual bool open();
    virtual int channelCount() const;
    virtual int bitsPerSample() const;
    virtual int sampleRate() const;
    virtual void setChannelCount(int n);
    virtual void setChannels(int n);
    virtual void setBitsPerSample(int bits);
    virtual void setSampleRate(int rate);

    QFile& file() { return file_; }

protected:
    // True only when every byte reached the file; a short write leaves the file's error set.
    bool writeAll(const QByteArray& bytes);

    int channelCount_;
    int bitsPerSample_ = 0;
    int sampleRate_ = 0;
    QFile file_;
    qint64 dataBytes = 0;
};

#endif
