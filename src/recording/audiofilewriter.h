#ifndef TESSARO_AUDIOFILEWRITER_H
#define TESSARO_AUDIOFILEWRITER_H

#include "audiobuffer.h"

#include <QMutex>
#include <QSharedPointer>
#include <QString>
#include <QThread>
#include <QVector>
#include <QWaitCondition>
#include <memory>

class AudioFile;
class PartitionManager;

// The consumer end of the recording pipeline: pairs the channel blocks of each driver buffer
// half into frames, writes them in order on its own thread, splits into numbered parts at the
// maximum file size and gives every written partition back to the pool.
//
// Threads: start, setFileMaxSize, closeFile, the getters and the destructor on the GUI thread;
// append on the driver thread (short, constant work under mutex, no disk access); run and the
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
    virtual void start(const QString& filename, int type, int nChannels, int bps,
                       int sampleRate);
    virtual void setFileMaxSize(qlonglong maxSize);
    virtual void append(int ich, uchar* data, qlonglong bytes);
    virtual void closeFile();

signals:
    void error(int code, QString msg);
    // Writer thread: a file or part has just been opened, or closed normally (a split, a stop,
    // the close at shutdown). A file opened and never reported closed was cut off by a crash.
    void fileOpened(const QString& name);
    void fileClosed(const QString& name);

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
    };
    struct Part;

    FileParams takeParams();
    std::unique_ptr<AudioFile> openFile(const FileParams& params);
    bool waitForOpenRetry();
    void writingPhase(Part& part);
    void drainingPhase(Part& part);
    bool writeFrame(Part& part, const AudioBuffer& frame);
    bool needsSplit(const Part& part, const AudioBuffer& frame) const;
    void releaseFrame(const AudioBuffer& frame);
    void dropQueue();

    QMutex mutex;
    QWaitCondition wakeCondition;
    bool newFileRequested = false;
    bool quitRequested = false;
    bool closeRequested = false;
    bool idle = true;  // no recording owns the queue: blocks queued now are stale
    QVector<AudioBuffer> queue;
    QSharedPointer<PartitionManager> partitions;
    QString fileName_;
    int fileType = 0;
    int channelCount = 2;
    int bitsPerSample = 32;
    int sampleRate = 0;
    qint64 fileMaxSize_ = 524288000;
    int errorCode = 0;
    QString errorMessage;
};

#endif
