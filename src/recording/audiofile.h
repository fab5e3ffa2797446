#ifndef TESSARO_AUDIOFILE_H
#define TESSARO_AUDIOFILE_H

#include "audiofilewriterimpl.h"

#include <QFileDevice>
#include <QString>

// One recorded file (or part): picks the format writer from the type code (0 WAV, 1 DFF,
// 2 DSF) and forwards to it; without a writer every operation fails or does nothing.
//
// Threads: writer thread only.
class AudioFile
{
public:
    AudioFile(const QString& fileName, int type, int channelCount);
    AudioFile(const AudioFile&) = delete;
    AudioFile& operator=(const AudioFile&) = delete;
    virtual ~AudioFile();

    virtual QFileDevice::FileError error() const;
    virtual QString errorString() const;
    virtual void setFileName(const QString& name);
    virtual QString fileName() const;
    virtual qint64 size() const;
    virtual int type() const;
    virtual int channelCount() const;
    virtual int bitsPerSample() const;
    virtual int sampleRate() const;
    virtual void setChannelCount(int n);
    virtual void setChannels(int n);
    virtual void setBitsPerSample(int bits);
    virtual void setSampleRate(int rate);
    // Before open(): what the file says about its recording, in its format's own place.
    void setMetadata(const RecordingMetadata& metadata);
    virtual int headerSize() const;
    // Creates the file; one that exists is replaced only after setReplaceExisting(true).
    virtual bool open();
    virtual void setReplaceExisting(bool replace);
    // open() failed because the name belongs to a file that exists.
    virtual bool nameTaken() const;
    // Rewrites the header in place with the counts so far, so the file on disk stays playable.
    virtual void updateHeader();
    virtual bool writeBuffer(const AudioBuffer& frame);
    virtual void close();
    // Hands the format writer's buffered bytes to the file.
    virtual bool flush();
    // A write to this file failed (the first header included): it holds the whole units that
    // reached it, counted by its header, and takes nothing more.
    virtual bool hasFailed() const;
    // Written as a stream (standard output, a pipe): no header rewrite, no split, no repair.
    bool isStream() const;

private:
    int fileType;
    AudioFileWriterImpl* writer = nullptr;
};

#endif
