#include "capturepath.h"

#include "asiohoststate.h"
#include "audiofilewriter.h"
#include "audiorates.h"
#include "partitionmanager.h"

#include <QThread>
#include <cstring>

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
    // Marks the span in which a block may still be taken after the flag is read (see
    // stopAndWait).
    recordBufferBusy = true;
    recordBuffer(data, channel, sampleType, bufferSize);
    recordBufferBusy = false;
    meterBuffer(data, channel, sampleType, bufferSize);
}

void CapturePath::meterBuffer(unsigned char* data, long channel, ASIOSampleType sampleType,
                              long bufferSize)
{
    const int input = inputBuffers.indexOf(int(channel));
    if (input >= 0 && input < kMeteredInputs)
        meters[input].process(data, sampleType, bufferSize);
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

void CapturePath::recordBuffer(unsigned char* data, long channel, ASIOSampleType sampleType,
                               long bufferSize)
{
    if (!partitions || !partitions->isAllocated() || partitions->partitionSize() < 1 || !recording)
        return;
    const qint64 n = qint64(bytesPerSample(sampleType) * bufferSize);
    if (n <= 0) {
        pendingBadBuffer = bufferSize == 0 ? BadBuffer::Empty : BadBuffer::InvalidType;
        return;
    }
    if (n > qint64(partitions->partitionSize())) {
        stopFromDriverThread(Stop::BufferTooLarge, n);
        return;
    }
    uchar* partition = partitions->acquire();
    if (!partition) {
        ++dropouts;
        stopFromDriverThread(Stop::BufferFull);
        return;
    }
    std::memcpy(partition, data, size_t(n));
    writer->append(int(channel), partition, n);
    if (int(channel) == inputBuffers.value(0))
        recordedSamples_ += bufferSize;
}

// The flag drops at once so no further block is taken; the file is closed on the GUI thread,
// after everything queued so far.
void CapturePath::stopFromDriverThread(Stop reason, qint64 bytes)
{
    if (!recording.exchange(false))
        return;
    pendingStopBytes = bytes;
    pendingStop = reason;
}

// Only this side waits, for the few microseconds of a copy.
bool CapturePath::stopAndWait()
{
    const bool was = recording.exchange(false);
    while (recordBufferBusy)
        QThread::yieldCurrentThread();
    return was;
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
