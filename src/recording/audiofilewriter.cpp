#include "audiofilewriter.h"

#include "audiofile.h"
#include "diagnosticsink.h"
#include "nextnumberedname.h"
#include "partitionmanager.h"

#include <QDir>
#include <QMutexLocker>

// One open file or part as the writer thread sees it.
struct AudioFileWriter::Part
{
    FileParams params;
    std::unique_ptr<AudioFile> file;
    bool hasFrames = false;          // a part never splits before it holds a frame
    bool failed = false;             // its failure has been reported
    qint64 bytesSinceFlush = 0;      // sample bytes buffered since the file last received them
    qint64 bytesSinceHeader = 0;     // sample bytes written since the header was last rewritten
    qint64 bytesPerSecond = 1 << 20;
    qint64 channelBytes = 0;         // bytes per channel written into this part
};

namespace {

// How far past a taken name the writer looks for a free one: beyond every part and track
// number of four digits.
constexpr int kMaxNameSteps = 10000;

qint64 bytesPerSecondOf(int type, int rate, int channels, int bits)
{
    const qint64 perSecond = type == 0 ? qint64(rate) * channels * bits / 8
                                       : qint64(rate) * channels / 8;
    return perSecond > 0 ? perSecond : (1 << 20);
}

QString describeFailure(const QString& fileName, const QString& reason)
{
    return QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(fileName), reason);
}

} // namespace

AudioFileWriter::AudioFileWriter(QSharedPointer<PartitionManager> partitions, QObject* parent)
    : QThread(parent), partitions(std::move(partitions))
{
}

AudioFileWriter::~AudioFileWriter()
{
    {
        QMutexLocker lock(&mutex);
        quitRequested = true;
        wakeCondition.wakeOne();
    }
    wait();
    QMutexLocker lock(&mutex);
    dropQueue();
}

QString AudioFileWriter::fileName()
{
    QMutexLocker lock(&mutex);
    return fileName_;
}

qint64 AudioFileWriter::fileMaxSize()
{
    QMutexLocker lock(&mutex);
    return fileMaxSize_;
}

void AudioFileWriter::start(const QString& filename, int type, int nChannels, int bps,
                            int sampleRate, bool replaceExisting)
{
    QMutexLocker lock(&mutex);
    const bool split = QThread::currentThread() == this;
    this->replaceExisting = replaceExisting && !split;
    fileMarker = split ? QStringLiteral("_part") : QStringLiteral("_");
    fileName_ = filename.trimmed();
    fileType = type;
    channelCount = nChannels;
    bitsPerSample = bps;
    this->sampleRate = sampleRate;
    if (fileName_.isEmpty()) {
        errorCode = 1;
        errorMessage = QStringLiteral("invalid filename");
        emit error(1, errorMessage);
        return;
    }
    // A new recording supersedes an earlier close that the thread has not seen yet; the
    // thread's own split must not swallow a close that arrived meanwhile.
    if (!split)
        closeRequested = false;
    discarding = false;
    // A frame holds a partition per channel: sized so, the queue grows only if channel blocks
    // keep arriving without their partners.
    queue.reserve(partitions->partitionCount() / qMax(1, nChannels) + 16);
    if (idle) {
        // Blocks queued while no file was open belong to no recording.
        dropQueue();
        idle = false;
    }
    if (isRunning()) {
        newFileRequested = true;
        wakeCondition.wakeOne();
    } else {
        QThread::start(QThread::InheritPriority);
    }
}

void AudioFileWriter::setFileMaxSize(qlonglong maxSize)
{
    QMutexLocker lock(&mutex);
    if (maxSize >= 1 && maxSize <= 1024) {
        errorCode = 3;
        errorMessage = QStringLiteral("maximum size too small");
        emit error(3, errorMessage);
        return;
    }
    fileMaxSize_ = maxSize;
}

void AudioFileWriter::setMetadata(const RecordingMetadata& value)
{
    QMutexLocker lock(&mutex);
    metadata = value;
}

void AudioFileWriter::closeFile()
{
    QMutexLocker lock(&mutex);
    closeRequested = true;
    wakeCondition.wakeOne();
}

void AudioFileWriter::append(int ich, uchar* data, qlonglong bytes)
{
    QMutexLocker lock(&mutex);
    if (ich < 0 || ich >= qMin(channelCount, int(AudioBuffer::MaxChannels)) || idle || discarding) {
        partitions->release(data);
        return;
    }
    if (ich == 0) {
        AudioBuffer frame(channelCount, 0);
        frame.setSize(bytes);
        frame.setChannelData(0, data);
        queue.append(frame);
    } else if (queue.isEmpty()) {
        DiagnosticSink::line("[!] (ch%d) comes, expected ch0", ich + 1);
        partitions->release(data);
        return;
    } else {
        AudioBuffer& last = queue.last();
        if (last.hasChannel(ich)) {
            DiagnosticSink::line("[!] channel %d data wil be overwritten", ich + 1);
            partitions->release(last.channelData(ich));
        }
        if (bytes != last.size()) {
            last.setSize(qMin(bytes, last.size()));
            DiagnosticSink::line("[!] #(ch%d)data does not match, taking the smaller one (%d)",
                                 ich + 1, int(last.size()));
        }
        last.setChannelData(ich, data);
    }
    wakeCondition.wakeOne();
}

void AudioFileWriter::run()
{
    for (;;) {
        Part part;
        part.params = takeParams();
        part.file = openFile(part.params);
        if (!part.file) {
            if (waitForOpenRetry())
                return;
            continue;
        }
        writingPhase(part);
        mutex.lock();
        const bool drain = !newFileRequested || quitRequested;
        mutex.unlock();
        if (drain)
            drainingPhase(part);
        if (part.file)
            closePart(part);
        QMutexLocker lock(&mutex);
        if (part.file && part.file->hasFailed())
            discardAfterFailure(part);
        if (!newFileRequested && !quitRequested)
            idle = true;
        while (!newFileRequested && !quitRequested)
            wakeCondition.wait(&mutex);
        // A start that came before the quit still gets its file: its blocks are already queued.
        if (quitRequested && !newFileRequested)
            return;
    }
}

AudioFileWriter::FileParams AudioFileWriter::takeParams()
{
    QMutexLocker lock(&mutex);
    newFileRequested = false;
    errorCode = 0;
    errorMessage.clear();
    return FileParams{fileName_,  fileType,     channelCount,    bitsPerSample, sampleRate,
                      fileMaxSize_, replaceExisting, fileMarker, metadata};
}

// A name is claimed by creating its file, never shared: when another program took it after it
// was chosen, the file goes to the next free name, and whoever reads fileName() learns it.
std::unique_ptr<AudioFile> AudioFileWriter::createFile(FileParams& params, bool* opened)
{
    const QString asked = params.name;
    for (int step = 0;; ++step) {
        auto file = std::make_unique<AudioFile>(params.name, params.type, params.channels);
        file->setSampleRate(params.rate);
        file->setBitsPerSample(params.bits);
        file->setReplaceExisting(params.replaceExisting);
        file->setMetadata(params.metadata);
        *opened = file->open();
        if (*opened || !file->nameTaken() || step == kMaxNameSteps) {
            if (*opened && params.name != asked) {
                QMutexLocker lock(&mutex);
                if (!newFileRequested && fileName_ == asked)
                    fileName_ = params.name;
                emit fileNameTaken(asked, params.name);
            }
            return file;
        }
        params.name = nextNumberedName(params.name, params.marker);
    }
}

std::unique_ptr<AudioFile> AudioFileWriter::openFile(FileParams& params)
{
    bool opened = false;
    auto file = createFile(params, &opened);
    // A file that takes not even its header counts as one that cannot be opened.
    if (!opened || file->hasFailed()) {
        QMutexLocker lock(&mutex);
        discarding = true;
        dropQueue();
        emit error(4, describeFailure(params.name, file->errorString()));
        return nullptr;
    }
    emit fileOpened(params.name);
    return file;
}

// After a failed open nothing can be written until the next start names a file again: sleep
// until then (retrying on every arriving block would repeat the error for each buffer). When
// the recording is closed meanwhile, its blocks have no file to go to; they go back to the
// pool at once, so the recorder counts as idle and a new recording can begin. True means quit.
bool AudioFileWriter::waitForOpenRetry()
{
    QMutexLocker lock(&mutex);
    while (!newFileRequested && !quitRequested) {
        if (closeRequested) {
            dropQueue();
            idle = true;
        }
        wakeCondition.wait(&mutex);
    }
    if (quitRequested && !newFileRequested) {
        dropQueue();
        return true;
    }
    return false;
}

void AudioFileWriter::writingPhase(Part& part)
{
    part.bytesPerSecond = bytesPerSecondOf(part.params.type, part.params.rate,
                                           part.params.channels, part.params.bits);
    for (;;) {
        AudioBuffer frame;
        {
            QMutexLocker lock(&mutex);
            while (!newFileRequested && !quitRequested && !closeRequested
                   && (queue.isEmpty() || !queue.first().isComplete()))
                wakeCondition.wait(&mutex);
            if (newFileRequested || quitRequested || closeRequested)
                return;
            frame = queue.first();
        }
        if (needsSplit(part, frame)) {
            setMetadata(nextPartMetadata(part));
            start(nextNumberedName(part.params.name, QStringLiteral("_part")), part.params.type,
                  part.params.channels, part.params.bits, part.params.rate);
            continue;
        }
        writeFrame(part, frame);
        QMutexLocker lock(&mutex);
        queue.removeFirst();
        releaseFrame(frame);
        if (part.file->hasFailed())
            discardAfterFailure(part);
    }
}

// Holds the lock throughout: producers wait until everything queued is in the file.
void AudioFileWriter::drainingPhase(Part& part)
{
    QMutexLocker lock(&mutex);
    while (!queue.isEmpty()) {
        const AudioBuffer frame = queue.first();
        if (queue.size() == 1 && !frame.isComplete()) {
            // A stop may fall between the channels of one buffer half: that half is where the
            // recording ends, not a lost frame.
            queue.removeFirst();
            releaseFrame(frame);
            break;
        }
        if (needsSplit(part, frame)) {
            closePart(part);
            if (part.file->hasFailed()) {
                discardAfterFailure(part);
                return;
            }
            part.params.name = nextNumberedName(part.params.name, QStringLiteral("_part"));
            part.params.marker = QStringLiteral("_part");
            part.params.replaceExisting = false;
            part.params.metadata = metadata = nextPartMetadata(part);
            part.channelBytes = 0;
            fileName_ = part.params.name;
            part.hasFrames = false;
            lock.unlock();
            part.file = openFile(part.params);
            lock.relock();
            if (!part.file)
                return;
            continue;
        }
        writeFrame(part, frame);
        queue.removeFirst();
        releaseFrame(frame);
        if (part.file->hasFailed())
            discardAfterFailure(part);
    }
}

// The frame goes into the format writer's buffer, which reaches the file a quarter of a second
// of audio later at the most; the header follows once a second, after the data it counts.
void AudioFileWriter::writeFrame(Part& part, const AudioBuffer& frame)
{
    if (!part.file->writeBuffer(frame)) {
        if (!part.file->hasFailed())
            emit error(2, describeFailure(part.params.name,
                                          QStringLiteral("frame without all its channels dropped")));
        return;
    }
    part.hasFrames = true;
    part.channelBytes += frame.size();
    part.bytesSinceFlush += frame.totalBytes();
    part.bytesSinceHeader += frame.totalBytes();
    if (part.bytesSinceHeader >= part.bytesPerSecond) {
        part.file->updateHeader();
        part.bytesSinceHeader = 0;
        part.bytesSinceFlush = 0;
    } else if (part.bytesSinceFlush >= part.bytesPerSecond / 4) {
        part.file->flush();
        part.bytesSinceFlush = 0;
    }
}

// Under mutex: one report per file. Unless the next file has been asked for meanwhile (its
// frames are queued already), nothing queued or arriving has a place to go any more.
void AudioFileWriter::discardAfterFailure(Part& part)
{
    if (part.failed)
        return;
    part.failed = true;
    if (!newFileRequested) {
        discarding = true;
        dropQueue();
    }
    emit error(5, describeFailure(part.params.name, part.file->errorString()));
}

// A file that failed stays in the journal of open files: its header may not have reached the
// disk, and the next start checks it.
void AudioFileWriter::closePart(Part& part)
{
    part.file->close();
    if (!part.file->hasFailed())
        emit fileClosed(part.params.name);
}

bool AudioFileWriter::needsSplit(const Part& part, const AudioBuffer& frame) const
{
    return part.params.maxSize > 0 && part.hasFrames
           && part.file->size() + frame.totalBytes() >= part.params.maxSize;
}

// The next part's first sample follows the last one of this part.
RecordingMetadata AudioFileWriter::nextPartMetadata(const Part& part) const
{
    const qint64 samples = part.params.type == 0 ? part.channelBytes / qMax(1, part.params.bits / 8)
                                                 : part.channelBytes * 8;
    return part.params.metadata.advancedBy(samples);
}

void AudioFileWriter::releaseFrame(const AudioBuffer& frame)
{
    for (int c = 0; c < frame.channelCount(); ++c)
        partitions->release(frame.channelData(c));
}

void AudioFileWriter::dropQueue()
{
    for (int i = 0; i < queue.size(); ++i)
        releaseFrame(queue.at(i));
    queue.clear();
}
