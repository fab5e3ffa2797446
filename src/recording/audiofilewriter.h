#ifndef TESSARO_AUDIOFILEWRITER_H
#define TESSARO_AUDIOFILEWRITER_H

#include "audiobuffer.h"
#include "blockring.h"
#include "framequeue.h"
#include "recordingmetadata.h"
#include "writerpart.h"

#include <QSemaphore>
#include <QSharedPointer>
#include <QString>
#include <QThread>
#include <atomic>
#include <memory>
#include <mutex>

class AudioFile;
class PartitionManager;

// The consumer end of the recording pipeline: pairs the channel blocks of each driver buffer
// half into frames, writes them in order on its own thread, splits into numbered parts at the
// maximum file size and gives every written partition back to the pool.
//
// The driver thread hands blocks over through a lock-free ring and wakes the writer only when
// enough has gathered to be worth a write (50 ms of audio or a quarter of the write buffer,
// whichever is less); commands wake it at once, and a quarter of a second without either makes
// it look anyway, so a stream that stops still reaches the disk.
//
// A destination that cannot be opened or written is reported once (error 4 or 5, the message
// naming the file and the system's reason); from then on every block queued or arriving is
// given back to the pool at once, until the next start. A failed file keeps exactly the whole
// units that reached the disk, counted by its header.
//
// Threads: start, setFileMaxSize, closeFile, setMetadata, the getters and the destructor on the
// GUI thread (start and setMetadata also on the writer thread when it splits);
// append on the driver thread (no allocation, no printing, no wait on the writer; a block it
// refuses goes back to the pool under the pool's short lock, never held across I/O); run and the
// split's own start on the writer thread. mutex guards the fields from newFileRequested to
// errorMessage (and trackStem) and is never held across disk I/O or a wait; the ring, queue and
// discarding belong to the writer thread (the ring's producer end to append). The atomics are the
// driver thread's view.
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
    virtual void start(const QString& filename, int type, int nChannels, int bps, int sampleRate,
                       bool replaceExisting = false);
    virtual void setFileMaxSize(qlonglong maxSize);
    virtual void append(int ich, uchar* data, qlonglong bytes);
    // Driver thread: the blocks appended from now on begin the next track, a file named by the
    // track numbering of the stem (the first free of stem, stem_0002, ...). Nothing happens when
    // no block follows before the file is closed, or none preceded it.
    void appendTrackMark();
    virtual void closeFile();
    // The name the tracks of appendTrackMark are numbered from; the file's own name when empty.
    void setTrackStem(const QString& stem);
    // For the files of the next start(), its split parts included (disabled: none).
    void setMetadata(const RecordingMetadata& metadata);

signals:
    // 1 invalid name, 2 a frame without all its channels (dropped), 3 maximum size too small,
    // 4 the file could not be opened, 5 a write to it failed; 4 and 5 end writing to the file.
    void error(int code, QString msg);
    // Writer thread: a file or part has just been opened, or closed normally (a split, a stop,
    // the close at shutdown). A file opened and never reported closed was cut off by a crash.
    // A stream (standard output, a pipe) is reported neither way: there is nothing to repair.
    void fileOpened(const QString& name);
    void fileClosed(const QString& name);
    // Writer thread: the name asked for was taken by another file before it could be created,
    // so the file was created as used instead.
    void fileNameTaken(const QString& asked, const QString& used);

protected:
    void run() override;

private:
    using FileParams = WriterPart::Params;
    using Part = WriterPart;
    struct Commands
    {
        bool newFile = false;
        bool quit = false;
        bool close = false;
        quint64 drainUntil = 0;
    };

    void runFiles();
    FileParams takeParams();
    Commands commands();
    std::unique_ptr<AudioFile> openFile(FileParams& params);
    std::unique_ptr<AudioFile> createFile(FileParams& params, bool* opened);
    bool waitForOpenRetry();
    bool waitForNextFile();
    void waitForBlocks(Part& part);
    void writingPhase(Part& part);
    void drainingPhase(Part& part);
    bool writeCompleteFrames(Part& part);
    FileParams nextTrack(const Part& part);
    void requestNextFile(const FileParams& next);
    bool continueWhileDraining(Part& part, const FileParams& next);
    void writeFirstFrame(Part& part);
    void collect(quint64 until);
    void discardAfterFailure(Part& part);
    // The one place a file or part is closed; a write it still makes may fail.
    void closePart(Part& part);
    void dropQueue();
    void stopAccepting();

    // A pthread mutex rather than QMutex: the race detector sees its ordering, which it cannot
    // see in the futex path of an uninstrumented Qt.
    std::mutex mutex;
    bool newFileRequested = false;
    bool quitRequested = false;
    bool closeRequested = false;
    quint64 drainUntil = 0; // the close or quit covers the blocks pushed before it
    bool idle = true;       // the writer thread leaves the ring alone: start may size it
    QString fileName_;
    int fileType = 0;
    int channelCount = 2;
    int bitsPerSample = 32;
    int sampleRate = 0;
    bool replaceExisting = false;
    QString fileMarker;
    QString trackStem;
    RecordingMetadata metadata;
    qint64 fileMaxSize_ = 524288000;
    int errorCode = 0;
    QString errorMessage;

    QSemaphore wake;
    BlockRing ring;
    FrameQueue queue;
    int frameChannels = 2;
    bool discarding = false; // the file failed or could not be opened: blocks have nowhere to go
    quint64 overflowsReported = 0;
    QSharedPointer<PartitionManager> partitions;

    std::atomic<bool> accepting{false}; // a recording owns the blocks that arrive
    std::atomic<bool> producerBusy{false};
    std::atomic<int> acceptedChannels{2};
    std::atomic<qint64> wakeBytes{1};
    std::atomic<qint64> unsignaledBytes{0};
    std::atomic<quint64> overflows{0}; // blocks refused because the ring was full
    // Set as the thread's last act. The destructor reads it after wait(): Qt's wait orders the
    // two, but inside Qt, where a race detector cannot see it; this pair says it in our code.
    std::atomic<bool> ended{false};
};

#endif
