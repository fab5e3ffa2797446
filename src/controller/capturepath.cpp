#include "capturepath.h"

#include "asiohoststate.h"
#include "audiofilewriter.h"
#include "audiorates.h"
#include "partitionmanager.h"

#include <QThread>
#include <algorithm>
#include <cstring>
#include <utility>

namespace {

uchar reversedBits(uchar v)
{
    uchar r = 0;
    for (int bit = 0; bit < 8; ++bit) {
        if (v & (1 << bit))
            r |= uchar(1 << (7 - bit));
    }
    return r;
}

} // namespace

CapturePath::CapturePath(AsioHostState* host, PartitionManager* partitions, AudioFileWriter* writer)
    : host(host), partitions(partitions), writer(writer)
{}

double CapturePath::bytesPerSample(ASIOSampleType type)
{
    switch (type) {
    case ASIOSTInt16MSB:
    case ASIOSTInt16LSB:
        return 2;
    case ASIOSTInt24MSB:
    case ASIOSTInt24LSB:
        return 3;
    case ASIOSTInt32MSB:
    case ASIOSTFloat32MSB:
    case ASIOSTInt32MSB16:
    case ASIOSTInt32MSB18:
    case ASIOSTInt32MSB20:
    case ASIOSTInt32MSB24:
    case ASIOSTInt32LSB:
    case ASIOSTFloat32LSB:
    case ASIOSTInt32LSB16:
    case ASIOSTInt32LSB18:
    case ASIOSTInt32LSB20:
    case ASIOSTInt32LSB24:
        return 4;
    case ASIOSTFloat64MSB:
    case ASIOSTFloat64LSB:
        return 8;
    case ASIOSTDSDInt8LSB1:
    case ASIOSTDSDInt8MSB1:
    case ASIOSTDSDInt8NER8:
        return 0.125;
    default:
        return 0;
    }
}

double CapturePath::rate() const
{
    return host->sampleRate;
}

void CapturePath::process(unsigned char* data, long channel, ASIOSampleType sampleType,
                          long bufferSize, long bufferIndex)
{
    monitorBuffer(data, channel, sampleType, bufferSize, bufferIndex);
    // The level comes first: the frame that reaches the start level is recorded itself.
    const float level = meterBuffer(data, channel, sampleType, bufferSize);
    // Marks the span in which a block may still be taken after the flag is read (see
    // stopAndWait).
    recordBufferBusy = true;
    recordBuffer(data, channel, sampleType, bufferSize, level);
    recordBufferBusy = false;
}

float CapturePath::meterBuffer(unsigned char* data, long channel, ASIOSampleType sampleType,
                               long bufferSize)
{
    const int input = inputBuffers.indexOf(int(channel));
    if (input < 0 || input >= kMeteredInputs)
        return -1.0f;
    meters[input].process(data, sampleType, bufferSize);
    return meters[input].blockLevel();
}

void CapturePath::monitorBuffer(unsigned char* data, long channel, ASIOSampleType sampleType,
                                long bufferSize, long bufferIndex)
{
    const int i = inputBuffers.indexOf(int(channel));
    if (i < 0 || i >= outputBuffers.size() || bufferIndex < 0 || bufferIndex > 1)
        return; // an input without a paired output is not monitored
    auto* out = static_cast<uchar*>(host->bufferInfos[outputBuffers.at(i)].buffers[bufferIndex]);
    const qint64 n = qint64(bytesPerSample(sampleType) * bufferSize);
    if (n < 1 || !out)
        return;
    const bool dsd = AudioRates::isDsd(rate());
    if (!monitoring) {
        std::memset(out, rate() > 0 && !dsd ? 0x00 : 0x96, size_t(n));
    } else if (dsd && reverseBit) {
        for (qint64 k = 0; k < n; ++k)
            out[k] = reversedBits(data[k]);
    } else {
        std::memcpy(out, data, size_t(n));
    }
}

// A recording begins with the first input of a buffer switch, so that its first frame is whole.
// Until then, and whenever nothing records, the blocks go to the pre-record (if one is kept).
void CapturePath::recordBuffer(unsigned char* data, long channel, ASIOSampleType sampleType,
                               long bufferSize, float level)
{
    if (!partitions || !partitions->isAllocated() || partitions->partitionSize() < 1)
        return;
    const int found = inputBuffers.indexOf(int(channel));
    const int input = found >= 0 ? found : int(channel);
    if (input < 0 || input >= FrameRing::kInputs)
        return; // the writer records the first two inputs only
    bool recordingNow = recording;
    if (input == 0) {
        startFrame(recordingNow, bufferSize);
        frameLevel = level;
    } else {
        frameLevel = std::max(frameLevel, level);
    }
    recordingNow = recordingNow && active;
    const qint64 n = qint64(bytesPerSample(sampleType) * bufferSize);
    if (n <= 0) {
        if (recordingNow)
            pendingBadBuffer = bufferSize == 0 ? BadBuffer::Empty : BadBuffer::InvalidType;
        return;
    }
    if (n > qint64(partitions->partitionSize())) {
        if (recordingNow)
            stopFromDriverThread(Stop::BufferTooLarge, n);
        return;
    }
    const int lastInput = qMin(int(inputBuffers.size()), FrameRing::kInputs) - 1;
    if (input == lastInput)
        decide(recordingNow, bufferSize);
    if (!recordingNow)
        preRecordBlock(input, data, channel, n, bufferSize);
    else if (holdingFrame)
        holdBlock(input, data, channel, n);
    else
        recordBlock(data, channel, n, bufferSize);
}

// Driver thread, at the first input of a buffer switch.
void CapturePath::startFrame(bool recordingNow, long bufferSize)
{
    if (!recordingNow) {
        active = false;
        if (!armed)
            triggered = false;
    } else if (!active) {
        takePreRecord();
        gate_.restart();
        active = true;
    }
    holdingFrame = recordingNow && gate_.isInGap() && held.capacity() > 0;
    if (holdingFrame) {
        if (held.isFull()) { // the oldest of a long silence stays with the track it ends
            appendFrame(held.oldest());
            held.dropOldest();
        }
        held.beginFrame(bufferSize);
    }
}

// The recording's start: the frames of the pre-record before it (before the trigger, when a
// level started it) go to the writer first; older ones go back to the pool.
void CapturePath::takePreRecord()
{
    const bool fromTrigger = std::exchange(triggered, false);
    if (!ringsEnabled)
        return;
    const quint64 reference = fromTrigger ? triggerFrame : preRecord.frameCount();
    const quint64 first = reference > quint64(preRecordWanted) ? reference - preRecordWanted : 0;
    while (!preRecord.isEmpty()) {
        const FrameRing::Frame frame = preRecord.oldest();
        const bool wanted = preRecord.oldestNumber() >= first;
        preRecord.dropOldest();
        if (wanted)
            appendFrame(frame);
        else
            releaseFrame(frame);
        preRecordBlocks -= frame.count;
    }
    preRecordFrames_ = 0;
}

// Driver thread, once a frame, after the level of its last input.
void CapturePath::decide(bool recordingNow, long bufferSize)
{
    if (!recordingNow) {
        if (armed && !triggered && gate_.triggers(frameLevel)) {
            // This frame's number; without a frame kept, the next one's.
            triggered = true;
            triggerFrame = preRecord.frameCount() - (preRecord.isEmpty() ? 0 : 1);
            pendingTrigger = true;
        }
        return;
    }
    const int decision = gate_.recordFrame(frameLevel, bufferSize);
    if (decision & CaptureGate::GapEnded)
        endGap();
    if (decision & CaptureGate::Stop)
        pendingSilenceStop = true;
}

// The signal is back: a track long enough ends in the gap, and the next one begins with the
// silence held, so that no sample is lost or written twice. The rest of this frame is recorded
// straight away.
void CapturePath::endGap()
{
    if (gate_.limits().minTrack <= recordedSamples_ - trackStart_) {
        writer->appendTrackMark();
        trackStart_ = recordedSamples_.load();
        ++pendingNewTracks;
    }
    appendHeld();
    holdingFrame = false;
}

// A copy of the block in a partition of the pool; without one the recording stops.
uchar* CapturePath::copyToPool(const unsigned char* data, qint64 bytes)
{
    uchar* partition = partitions->acquire();
    if (!partition) {
        ++dropouts;
        stopFromDriverThread(Stop::BufferFull);
        return nullptr;
    }
    std::memcpy(partition, data, size_t(bytes));
    return partition;
}

void CapturePath::recordBlock(unsigned char* data, long channel, qint64 bytes, long bufferSize)
{
    uchar* partition = copyToPool(data, bytes);
    if (!partition)
        return;
    writer->append(int(channel), partition, bytes);
    if (int(channel) == inputBuffers.value(0))
        recordedSamples_ += bufferSize;
}

void CapturePath::holdBlock(int input, unsigned char* data, long channel, qint64 bytes)
{
    uchar* partition = copyToPool(data, bytes);
    if (partition && (held.isEmpty() || held.newest().count != input ||
                      !held.addBlock({channel, partition, bytes})))
        partitions->release(partition);
}

// The pre-record keeps whole frames, the last preRecord.capacity() of them. Without a
// partition it starts afresh rather than keep a gap.
void CapturePath::preRecordBlock(int input, unsigned char* data, long channel, qint64 bytes,
                                 long bufferSize)
{
    if (!ringsEnabled || preRecord.capacity() == 0)
        return;
    if (input == 0) {
        if (preRecord.isFull()) {
            const FrameRing::Frame oldest = preRecord.oldest();
            preRecord.dropOldest();
            releaseFrame(oldest);
            preRecordBlocks -= oldest.count;
        }
        preRecord.beginFrame(bufferSize);
    } else if (preRecord.isEmpty() || preRecord.newest().count != input) {
        return;
    }
    // Counted before the pool counts it, so that waitingBlocks never counts it as waiting.
    ++preRecordBlocks;
    uchar* partition = partitions->acquire();
    if (!partition) {
        --preRecordBlocks;
        releasePreRecord();
        return;
    }
    std::memcpy(partition, data, size_t(bytes));
    preRecord.addBlock({channel, partition, bytes});
    preRecordFrames_ = preRecord.size();
}

void CapturePath::appendFrame(const FrameRing::Frame& frame)
{
    for (int i = 0; i < frame.count; ++i)
        writer->append(int(frame.blocks[i].channel), frame.blocks[i].data, frame.blocks[i].bytes);
    if (frame.count > 0)
        recordedSamples_ += frame.samples;
}

void CapturePath::releaseFrame(const FrameRing::Frame& frame)
{
    for (int i = 0; i < frame.count; ++i)
        partitions->release(frame.blocks[i].data);
}

void CapturePath::appendHeld()
{
    while (!held.isEmpty()) {
        appendFrame(held.oldest());
        held.dropOldest();
    }
}

// The partitions go back before the count drops, so that waitingBlocks never counts them.
void CapturePath::releasePreRecord()
{
    while (!preRecord.isEmpty()) {
        const FrameRing::Frame frame = preRecord.oldest();
        preRecord.dropOldest();
        releaseFrame(frame);
        preRecordBlocks -= frame.count;
    }
    preRecordFrames_ = 0;
}

// The flag drops at once so no further block is taken; the file is closed on the GUI thread,
// after everything queued so far, the silence held included.
void CapturePath::stopFromDriverThread(Stop reason, qint64 bytes)
{
    if (!recording.exchange(false))
        return;
    appendHeld();
    pendingStopBytes = bytes;
    pendingStop = reason;
}

// Only this side waits, for the few microseconds of a copy.
bool CapturePath::stopAndWait()
{
    const bool was = recording.exchange(false);
    while (recordBufferBusy)
        QThread::yieldCurrentThread();
    // The driver thread no longer touches the held frames, and appends nothing any more.
    appendHeld();
    return was;
}

// The driver thread stays away from the pre-record from its next block on.
void CapturePath::pauseRings()
{
    ringsEnabled = false;
    while (recordBufferBusy)
        QThread::yieldCurrentThread();
}

void CapturePath::configureRings(const Rings& rings)
{
    pauseRings();
    releasePreRecord();
    preRecordWanted = rings.preRecordFrames;
    const int preRecordCapacity = rings.preRecordFrames + rings.triggerFrames;
    preRecord.setCapacity(preRecordCapacity > 0 ? preRecordCapacity + 1 : 0);
    held.setCapacity(rings.holdFrames);
    ringsEnabled = true;
}

void CapturePath::dropPreRecord()
{
    pauseRings();
    releasePreRecord();
    ringsEnabled = true;
}

void CapturePath::setArmed(bool value)
{
    pendingTrigger = false;
    armed = value;
}

// The pre-record's count is read first: it rises before the pool's and falls after it.
int CapturePath::waitingBlocks() const
{
    const int kept = preRecordBlocks;
    return qMax(0, partitions->usedCount() - kept);
}

void CapturePath::driverResetRequested()
{
    // The driver must never be stopped or disposed from inside its own callback.
    resetRequested = true;
}

void CapturePath::driverResyncRequested()
{
    if (recording)
        ++dropouts;
    ++resyncCount;
}

CapturePath::Events CapturePath::takeEvents()
{
    Events e;
    e.badBuffer = pendingBadBuffer.exchange(BadBuffer::None);
    e.stop = pendingStop.exchange(Stop::None);
    e.stopBytes = pendingStopBytes;
    e.resyncs = resyncCount;
    e.resetRequested = resetRequested.exchange(false);
    e.triggered = pendingTrigger.exchange(false);
    e.silenceStop = pendingSilenceStop.exchange(false);
    e.newTracks = pendingNewTracks.exchange(0);
    return e;
}

void CapturePath::setBuffers(const QList<int>& inputs, const QList<int>& outputs)
{
    inputBuffers = inputs;
    outputBuffers = outputs;
}

void CapturePath::clearBuffers()
{
    inputBuffers.clear();
    outputBuffers.clear();
}

LevelMeter& CapturePath::levelMeter(int input)
{
    return meters[qBound(0, input, kMeteredInputs - 1)];
}

void CapturePath::resetMeters(double rate)
{
    for (LevelMeter& meter : meters)
        meter.reset(rate);
}
