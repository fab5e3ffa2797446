#include "audiofilewriter.h"

#include "audiofile.h"
#include "audiofilewriterimpl.h"
#include "diagnosticsink.h"
#include "nextnumberedname.h"
#include "partitionmanager.h"
#include "writerpart.h"

#include <QDir>
#include <QFileInfo>
#include <limits>
#include <mutex>
#include <thread>

namespace {

// How far past a taken name the writer looks for a free one: beyond every part and track
// number of four digits.
constexpr int kMaxNameSteps = 10000;
constexpr quint64 kEverything = std::numeric_limits<quint64>::max();
// The channel number of a track mark in the ring.
constexpr int kTrackMark = -1;
// How long the writer sleeps when no block wakes it: buffered audio still reaches the disk
// within a quarter of a second after the stream stops.
constexpr int kLookAgainMs = 250;

QString describeFailure(const QString& fileName, const QString& reason)
{
    return QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(fileName), reason);
}

} // namespace

AudioFileWriter::AudioFileWriter(QSharedPointer<PartitionManager> partitions, QObject* parent)
    : QThread(parent), partitions(std::move(partitions))
{}

AudioFileWriter::~AudioFileWriter()
{
    stopAccepting();
    {
        std::unique_lock<std::mutex> lock(mutex);
        quitRequested = true;
        drainUntil = ring.pushedCount();
    }
    wake.release();
    wait();
    // The thread has ended: what it left is this thread's to give back.
    ended.load(std::memory_order_acquire);
    discarding = true;
    collect(kEverything);
    dropQueue();
}

QString AudioFileWriter::fileName()
{
    std::unique_lock<std::mutex> lock(mutex);
    return fileName_;
}

qint64 AudioFileWriter::fileMaxSize()
{
    std::unique_lock<std::mutex> lock(mutex);
    return fileMaxSize_;
}

void AudioFileWriter::start(const QString& filename, int type, int nChannels, int bps,
                            int sampleRate, bool replaceExisting)
{
    std::unique_lock<std::mutex> lock(mutex);
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
    // A new recording supersedes an earlier close that the thread has not seen yet.
    // A split (the thread's own start) neither reopens a recording that was closed meanwhile
    // nor swallows that close.
    if (!split) {
        closeRequested = false;
        if (idle) {
            // Neither end uses the ring now. It holds at most one block per partition.
            ring.setCapacity(
                qMax(partitions->partitionCount(), int(partitions->totalSize() / 4096)) + 16);
            idle = false;
        }
        acceptedChannels = qMin(nChannels, int(AudioBuffer::MaxChannels));
        wakeBytes = qMax<qint64>(
            1, qMin<qint64>(AudioFileWriterImpl::WriteBufferSize / 4,
                            WriterPart::bytesPerSecondOf(type, sampleRate, nChannels, bps) / 20));
        accepting = true;
    }
    if (isRunning()) {
        newFileRequested = true;
        wake.release();
    } else {
        QThread::start(QThread::InheritPriority);
    }
}

void AudioFileWriter::setFileMaxSize(qlonglong maxSize)
{
    std::unique_lock<std::mutex> lock(mutex);
    if (maxSize >= 1 && maxSize <= 1024) {
        errorCode = 3;
        errorMessage = QStringLiteral("maximum size too small");
        emit error(3, errorMessage);
        return;
    }
    fileMaxSize_ = maxSize;
}

void AudioFileWriter::setTrackStem(const QString& stem)
{
    std::unique_lock<std::mutex> lock(mutex);
    trackStem = stem;
}

void AudioFileWriter::setMetadata(const RecordingMetadata& value)
{
    std::unique_lock<std::mutex> lock(mutex);
    metadata = value;
}

void AudioFileWriter::closeFile()
{
    stopAccepting();
    {
        std::unique_lock<std::mutex> lock(mutex);
        closeRequested = true;
        drainUntil = ring.pushedCount();
    }
    wake.release();
}

// Blocks that arrive from now on belong to no recording. Returns once a block being handed
// over meanwhile is in the ring, so that the ring's count covers everything recorded. Only
// this side waits, and only for the few instructions of a push.
void AudioFileWriter::stopAccepting()
{
    accepting = false;
    while (producerBusy)
        std::this_thread::yield();
}

// Driver thread: no lock, no allocation, no printing. The pairing into frames and its
// diagnostics happen on the writer thread.
void AudioFileWriter::append(int ich, uchar* data, qlonglong bytes)
{
    producerBusy = true;
    const bool wanted = accepting && ich >= 0 && ich < acceptedChannels;
    const bool taken = wanted && ring.push(BlockRing::Block{ich, data, bytes});
    producerBusy = false;
    if (!taken) {
        if (wanted)
            ++overflows;
        partitions->release(data);
        return;
    }
    if (unsignaledBytes.fetch_add(bytes, std::memory_order_relaxed) + bytes >=
        wakeBytes.load(std::memory_order_relaxed)) {
        unsignaledBytes.store(0, std::memory_order_relaxed);
        wake.release();
    }
}

// Driver thread, like append: a mark that finds the ring full is lost, as a block would be.
void AudioFileWriter::appendTrackMark()
{
    producerBusy = true;
    const bool taken = accepting && ring.push(BlockRing::Block{kTrackMark, nullptr, 0});
    producerBusy = false;
    if (!taken && accepting)
        ++overflows;
}

void AudioFileWriter::run()
{
    runFiles();
    ended.store(true, std::memory_order_release);
}

void AudioFileWriter::runFiles()
{
    for (;;) {
        Part part;
        part.params = takeParams();
        frameChannels = qMin(part.params.channels, int(AudioBuffer::MaxChannels));
        discarding = false;
        part.file = openFile(part.params);
        if (!part.file) {
            if (waitForOpenRetry())
                return;
            continue;
        }
        writingPhase(part);
        const Commands c = commands();
        if (!c.newFile || c.quit)
            drainingPhase(part);
        if (part.file) {
            closePart(part);
            if (part.file->hasFailed())
                discardAfterFailure(part);
        }
        if (waitForNextFile())
            return;
    }
}

AudioFileWriter::FileParams AudioFileWriter::takeParams()
{
    std::unique_lock<std::mutex> lock(mutex);
    newFileRequested = false;
    errorCode = 0;
    errorMessage.clear();
    return FileParams{fileName_,    fileType,        channelCount, bitsPerSample, sampleRate,
                      fileMaxSize_, replaceExisting, fileMarker,   metadata};
}

AudioFileWriter::Commands AudioFileWriter::commands()
{
    std::unique_lock<std::mutex> lock(mutex);
    return Commands{newFileRequested, quitRequested, closeRequested, drainUntil};
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
                std::unique_lock<std::mutex> lock(mutex);
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
        discarding = true;
        dropQueue();
        emit error(4, describeFailure(params.name, file->errorString()));
        return nullptr;
    }
    if (!file->isStream())
        emit fileOpened(params.name);
    return file;
}

// After a failed open nothing can be written until the next start names a file again: sleep
// until then (retrying on every arriving block would repeat the error for each buffer), giving
// arriving blocks back to the pool, so the recorder counts as idle once the recording is
// closed and a new one can begin. True means quit.
bool AudioFileWriter::waitForOpenRetry()
{
    for (;;) {
        const Commands c = commands();
        collect(c.close || c.quit ? c.drainUntil : kEverything);
        if (c.newFile)
            return false;
        if (c.quit || c.close)
            return waitForNextFile();
        wake.tryAcquire(1, kLookAgainMs);
    }
}

// After a file is closed: sleep until a start or the quit. Late blocks and closes do not end
// this wait, and the ring stays untouched so that start may size it. True means quit.
bool AudioFileWriter::waitForNextFile()
{
    std::unique_lock<std::mutex> lock(mutex);
    if (!newFileRequested && !quitRequested)
        idle = true;
    while (!newFileRequested && !quitRequested) {
        lock.unlock();
        wake.acquire();
        lock.lock();
    }
    // A start that came before the quit still gets its file: its blocks are already queued.
    return quitRequested && !newFileRequested;
}

// Sleeps until enough blocks have gathered, a command comes, or a quarter of a second has
// passed; after such a pause whatever is buffered goes to the file.
void AudioFileWriter::waitForBlocks(Part& part)
{
    if (!wake.tryAcquire(1, kLookAgainMs))
        part.flushPending();
    wake.tryAcquire(wake.available());
}

void AudioFileWriter::writingPhase(Part& part)
{
    part.begin();
    for (;;) {
        const Commands c = commands();
        if (c.newFile || c.quit || c.close)
            return;
        collect(kEverything);
        if (!writeCompleteFrames(part))
            return;
        waitForBlocks(part);
    }
}

// Writes the complete frames at the head of the queue; false when a split has been asked for.
bool AudioFileWriter::writeCompleteFrames(Part& part)
{
    while (!queue.isEmpty()) {
        const AudioBuffer frame = queue.first();
        if (FrameQueue::isTrackMark(frame)) {
            if (queue.size() == 1)
                return true; // the new track's first frame follows
            queue.removeFirst();
            if (!part.holdsFrames())
                continue;
            requestNextFile(nextTrack(part));
            return false;
        }
        if (!frame.isComplete())
            return true;
        if (part.needsSplit(frame)) {
            requestNextFile(part.nextPart());
            return false;
        }
        writeFirstFrame(part);
    }
    return true;
}

// The writer thread's own next file: a split part or a track begun by a mark. The thread takes
// it up when the writing phase returns; a close that comes meanwhile still applies to it.
void AudioFileWriter::requestNextFile(const FileParams& next)
{
    std::unique_lock<std::mutex> lock(mutex);
    fileName_ = next.name;
    fileMarker = next.marker;
    replaceExisting = false;
    metadata = next.metadata;
    newFileRequested = true;
}

// The next track, named like a track begun by hand: the first name of the stem's numbering that
// no file has.
AudioFileWriter::FileParams AudioFileWriter::nextTrack(const Part& part)
{
    QString name;
    {
        std::unique_lock<std::mutex> lock(mutex);
        name = trackStem;
    }
    if (name.isEmpty())
        name = part.params.name;
    for (int step = 0; QFileInfo::exists(name) && step < kMaxNameSteps; ++step)
        name = nextNumberedName(name, QStringLiteral("_"));
    return part.following(name, QStringLiteral("_"));
}

// Everything recorded before the close or quit goes into the file, without any lock held.
void AudioFileWriter::drainingPhase(Part& part)
{
    collect(commands().drainUntil);
    while (!queue.isEmpty()) {
        const AudioBuffer frame = queue.first();
        if (FrameQueue::isTrackMark(frame)) {
            queue.removeFirst();
            if (queue.isEmpty() || !part.holdsFrames())
                continue;
            if (!continueWhileDraining(part, nextTrack(part)))
                return;
            continue;
        }
        if (queue.size() == 1 && !frame.isComplete()) {
            // A stop may fall between the channels of one buffer half: that half is where the
            // recording ends, not a lost frame.
            queue.removeFirst();
            queue.release(frame, *partitions);
            break;
        }
        if (part.needsSplit(frame)) {
            if (!continueWhileDraining(part, part.nextPart()))
                return;
            continue;
        }
        writeFirstFrame(part);
    }
}

// Closes the part and opens the next one; false when that fails.
bool AudioFileWriter::continueWhileDraining(Part& part, const FileParams& next)
{
    closePart(part);
    if (part.file->hasFailed()) {
        discardAfterFailure(part);
        return false;
    }
    part.continueAs(next);
    {
        std::unique_lock<std::mutex> lock(mutex);
        fileName_ = part.params.name;
        metadata = part.params.metadata;
    }
    part.file = openFile(part.params);
    return part.file != nullptr;
}

// Takes the blocks pushed before `until` out of the ring: into frames, or straight back to the
// pool while there is no file to write them to.
void AudioFileWriter::collect(quint64 until)
{
    BlockRing::Block block;
    while (ring.poppedCount() < until && ring.pop(&block)) {
        if (discarding)
            partitions->release(block.data);
        else if (block.channel == kTrackMark)
            queue.appendTrackMark();
        else
            queue.addBlock(block.channel, block.data, block.bytes, frameChannels, *partitions);
    }
    const quint64 lost = overflows.load();
    if (lost != overflowsReported) {
        DiagnosticSink::line(
            "[!] %llu channel blocks lost: more blocks in flight than the queue holds",
            static_cast<unsigned long long>(lost - overflowsReported));
        overflowsReported = lost;
    }
}

// The frame at the head of the queue goes to the file and its blocks back to the pool; a file
// that fails on it takes no more frames.
void AudioFileWriter::writeFirstFrame(Part& part)
{
    const AudioBuffer frame = queue.first();
    if (!part.write(frame) && !part.file->hasFailed())
        emit error(2, describeFailure(part.params.name,
                                      QStringLiteral("frame without all its channels dropped")));
    queue.removeFirst();
    queue.release(frame, *partitions);
    if (part.file->hasFailed())
        discardAfterFailure(part);
}

// One report per file. Unless the next file has been asked for meanwhile (its frames are
// queued already), nothing queued or arriving has a place to go any more.
void AudioFileWriter::discardAfterFailure(Part& part)
{
    if (part.failed)
        return;
    part.failed = true;
    if (!commands().newFile) {
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
    if (!part.file->hasFailed() && !part.file->isStream())
        emit fileClosed(part.params.name);
}

void AudioFileWriter::dropQueue()
{
    queue.releaseAll(*partitions);
}
