#ifndef TESSARO_AUDIOFILEWRITER_H
#define TESSARO_AUDIOFILEWRITER_H

#include "audiobuffer.h"
#include "framequeue.h"
#include "recordingmetadata.h"

#include <QMutex>
#include <QSharedPointer>
#include <QString>
#include <QThread>
#include <QWaitCondition>
#include <memory>

class AudioFile;
class PartitionManager;

// The consumer end of the recording pipeline: pairs the channel blocks of each driver buffer
// half into frames, writes them in order on its own thread, splits into numbered parts at the
// maximum file size and gives every written partition back to the pool.
//
// A destination that cannot be opened or written is reported once (error 4 or 5, the message
// naming the file and the system's reason); from then on every block queued or arriving is
// given back to the pool at once, until the next start. A failed file keeps exactly the whole
// units that reached the disk, counted by its header.
//
// Threads: start, setFileMaxSize, closeFile, setMetadata, the getters and the destructor on the
// GUI thread (start and setMetadata also on the writer thread when it splits);
// append on the driver thread (short, constant work under mutex, no disk access, no allocation
// once start has sized the queue for the pool); run and the
// split's own start on the writer thread. mutex guards every field below it; the writer lock
// is always taken before the pool's lock.
class AudioFileWriter : public QThread
{
    Q_OBJECT
public:
    explicit AudioFileWriter(QSharedPointer<PartitionManager> partitions,
                             QObject* parent = nullptr);
    ~AudioFileWriter() override;

public slots:
    virtual QString fileName();
    virtual qint64 fileMaxSize();
    // The file is created under filename or, when a file of that name exists by the time the
    // writer thread opens it, under the next free name of the numbering ("_" for a start,
    // "_part" for a split part); only replaceExisting lets it truncate an existing file.
    virtual void start(const QString& filename, int type, int nChannels, int bps,
                       int sampleRate, bool replaceExisting = false);
    virtual void setFileMaxSize(qlonglong maxSize);
    virtual void append(int ich, uchar* data, qlonglong bytes);
    virtual void closeFile();
    // For the files of the next start(), its split parts included (disabled: none).
    void setMetadata(const RecordingMetadata& metadata);

signals:
    // 1 invalid name, 2 a frame without all its channels (dropped), 3 maximum size too small,
    // 4 the file could not be opened, 5 a write to it failed; 4 and 5 end writing to the file.
    void error(int code, QString msg);
    // Writer thread: a file or part has just been opened, or closed normally (a split, a stop,
    // the close at shutdown). A file opened and never reported closed was cut off by a crash.
    void fileOpened(const QString& name);
    void fileClosed(const QString& name);
    // Writer thread: the name asked for was taken by another file before it could be created,
    // so the file was created as used instead.
    void fileNameTaken(const QString& asked, const QString& used);

protected:
    void run() override;

private:
    // The parameters of one file, copied by the writer thread when the file begins.
    struct FileParams
    {
        QString name;
        int type = 0;
        int channels = 0;
        int bits = 0;
        int rate = 0;
        qint64 maxSize = 0;
        bool replaceExisting = false;
        QString marker;  // the numbering that leads past a name taken meanwhile
        RecordingMetadata metadata;
    };
    struct Part;

    FileParams takeParams();
    std::unique_ptr<AudioFile> openFile(FileParams& params);
    std::unique_ptr<AudioFile> createFile(FileParams& params, bool* opened);
    bool waitForOpenRetry();
    void writingPhase(Part& part);
    void drainingPhase(Part& part);
    void writeFrame(Part& part, const AudioBuffer& frame);
    void discardAfterFailure(Part& part);
    // The one place a file or part is closed; a write it still makes may fail.
    void closePart(Part& part);
    bool needsSplit(const Part& part, const AudioBuffer& frame) const;
    void releaseFrame(const AudioBuffer& frame);
    void dropQueue();
    RecordingMetadata nextPartMetadata(const Part& part) const;

    QMutex mutex;
    QWaitCondition wakeCondition;
    bool newFileRequested = false;
    bool quitRequested = false;
    bool closeRequested = false;
    bool idle = true;  // no recording owns the queue: blocks queued now are stale
    bool discarding = false;  // the file failed or could not be opened: blocks have nowhere to go
    FrameQueue queue;
    QSharedPointer<PartitionManager> partitions;
    QString fileName_;
    int fileType = 0;
    int channelCount = 2;
    int bitsPerSample = 32;
    int sampleRate = 0;
    bool replaceExisting = false;
    QString fileMarker;
    qint64 fileMaxSize_ = 524288000;
    RecordingMetadata metadata;
    int errorCode = 0;
    QString errorMessage;
};

#endif
