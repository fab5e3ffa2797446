#ifndef TESSARO_AUDIOFILEWRITER_H
#define TESSARO_AUDIOFILEWRITER_H

#include "audiobuffer.h"

#include <QMutex>
#include <QSharedPointer>
#include <QString>
#include <QThread>
#include <QVector>
#include <QWaitCondition>

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

protected:
    void run() override;

private:
    // ... (implementation-defined private helpers and fields, all guarded by mutex)
};

#endif
