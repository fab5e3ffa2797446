#ifndef TESSARO_AUDIOFILEWRITERIMPL_H
#define TESSARO_AUDIOFILEWRITERIMPL_H

#include "audiobuffer.h"
#include "recordingmetadata.h"

#include <QFile>
#include <QString>
#include <vector>

class HeaderBytes;

// The abstract format writer: owns the file and the stream parameters, opens and closes; the
// subclasses lay out the header and store frames.
//
// Sample data go through a write buffer of the writer's own, made when the file opens, and
// reach the file in writes of up to WriteBufferSize bytes: when the buffer is full, on flush(),
// before every header rewrite and at close. A write the file refuses (a full disk, any error)
// cuts the file back to the whole interleaving units that reached it, rewrites the header with
// exactly that count and ends all writing to this file; the system's reason stays available
// from errorString().
//
// The name "-" is standard output. It, and any other destination that cannot seek (a named
// pipe), is a stream: its header goes out once, at open, with the sizes the format uses for
// "unknown", and is never rewritten; a failed write ends the writing without touching what the
// reader already has.
//
// Threads: used by the writer thread only.
class AudioFileWriterImpl
{
public:
    static constexpr int WriteBufferSize = 1 << 20;

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
    // Before open(): what the file says about its recording (disabled: no metadata at all).
    void setMetadata(const RecordingMetadata& metadata);

    // Whether open() may replace a file that exists; by default it creates the file or fails.
    void setReplaceExisting(bool replace);
    // The last open() failed because a file of that name exists (and was kept).
    bool nameTaken() const;
    // Hands everything buffered to the file; false once a write has failed.
    bool flush();
    bool hasFailed() const;
    // Open and unable to go back: the header written at open stays as it is.
    bool isStream() const;
    // Counts a write the file has refused outside the write buffer (the first header) as failed.
    void failOnFileError();
    QString errorString() const;
    // The file's length once everything buffered is written.
    qint64 size() const;
    QFile& file() { return file_; }

protected:
    // True only when every byte reached the file; a short write leaves the file's error set.
    bool writeAll(const HeaderBytes& header);
    // True when the frame carries a block for every channel of this file.
    bool accepts(const AudioBuffer& frame) const;
    // Room in the write buffer for up to wanted units of unitBytes each (flushing first when
    // not one fits); *granted tells how many. Null once the file has failed.
    char* reserve(qint64 wanted, int unitBytes, qint64* granted);
    void commit(qint64 bytes);
    // The format's smallest whole piece of sample data: only whole ones count after a failure.
    virtual qint64 unitBytes() const = 0;
    // Makes the counts describe exactly this many bytes of sample data.
    virtual void keepDataBytes(qint64 bytes);
    // The format's metadata bytes for this file, made once when it opens.
    virtual QByteArray metadataChunk() const;
    bool writeAll(const QByteArray& bytes);

    int channelCount_;
    int bitsPerSample_ = 0;
    int sampleRate_ = 0;
    QFile file_;
    qint64 dataBytes = 0;
    RecordingMetadata metadata;
    QByteArray metadataBytes;

private:
    bool failWrite();

    std::vector<char> writeBuffer_;
    qint64 buffered = 0;
    bool failed = false;
    QString failure;
    bool replaceExisting = false;
    bool nameTaken_ = false;
    bool stream = false;
};

#endif
