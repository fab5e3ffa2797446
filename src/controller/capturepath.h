#ifndef TESSARO_CAPTUREPATH_H
#define TESSARO_CAPTUREPATH_H

#include "asio.h"
#include "levelmeter.h"

#include <QList>
#include <atomic>

class AsioHostState;
class AudioFileWriter;
class PartitionManager;

// What happens to every driver buffer: the monitoring copy to the paired output, the recording
// copy into the pool and on to the writer, the level meters, and the driver's rare events.
//
// Threads: process, driverResetRequested and driverResyncRequested run on the driver's thread.
// They allocate nothing, print nothing and take no lock but the pool's (held for a few
// instructions, never across I/O, see PartitionManager); they read the atomic flags below and
// leave all that needs the GUI thread (a log line, closing a file, tearing the driver down) in
// atomic events that the GUI thread collects with takeEvents. The buffer lists change only
// while no stream runs (setBuffers, clearBuffers on the GUI thread). The flag setters, the
// stop handshake (stopAndWait) and the meters' reset are GUI-thread calls; the meters are read
// by the GUI thread (see LevelMeter). The recorded-sample count and the dropout count are
// atomics raised here and read or cleared by the GUI thread. The pool and the writer belong to
// the controller and outlive every buffer the driver hands over.
class CapturePath
{
public:
    static constexpr int kMeteredInputs = 2;

    enum class Stop
    {
        None,
        BufferFull,
        BufferTooLarge
    };
    enum class BadBuffer
    {
        None,
        Empty,
        InvalidType
    };
    // What the driver's thread left for the GUI thread since its last look.
    struct Events
    {
        BadBuffer badBuffer = BadBuffer::None;
        Stop stop = Stop::None;
        qint64 stopBytes = 0; // the block that did not fit, for Stop::BufferTooLarge
        unsigned resyncs = 0; // since the driver was initialized
        bool resetRequested = false;
    };

    CapturePath(AsioHostState* host, PartitionManager* partitions, AudioFileWriter* writer);

    static double bytesPerSample(ASIOSampleType type);

    // Driver thread.
    void process(unsigned char* data, long channel, ASIOSampleType sampleType, long bufferSize,
                 long bufferIndex);
    void monitorBuffer(unsigned char* data, long channel, ASIOSampleType sampleType,
                       long bufferSize, long bufferIndex);
    void recordBuffer(unsigned char* data, long channel, ASIOSampleType sampleType,
                      long bufferSize);
    void meterBuffer(unsigned char* data, long channel, ASIOSampleType sampleType, long bufferSize);
    void driverResetRequested();
    void driverResyncRequested();

    // GUI thread.
    Events takeEvents();
    void forgetResetRequest() { resetRequested = false; }
    void forgetResyncs() { resyncCount = 0; }
    void setBuffers(const QList<int>& inputs, const QList<int>& outputs);
    void clearBuffers();
    bool isRecording() const { return recording; }
    // Lets blocks through from the next buffer on; the writer must already have started.
    void startRecording() { recording = true; }
    // Clears the flag and returns once the driver thread is past any block it began before,
    // so that no partition is taken after a stop. Returns whether it was recording.
    bool stopAndWait();
    void setMonitoring(bool enabled) { monitoring = enabled; }
    bool isMonitoring() const { return monitoring; }
    void setReverseBit(bool enabled) { reverseBit = enabled; }
    LevelMeter& levelMeter(int input);
    void resetMeters(double rate);
    unsigned dropoutCount() const { return dropouts; }
    void clearDropouts() { dropouts = 0; }
    // Samples per channel that reached the pool while recording, counted on the first input.
    qint64 recordedSamples() const { return recordedSamples_; }

private:
    void recordBlock(unsigned char* data, long channel, ASIOSampleType sampleType, long bufferSize);
    void stopFromDriverThread(Stop reason, qint64 bytes = 0);
    double rate() const;

    AsioHostState* host;
    PartitionManager* partitions;
    AudioFileWriter* writer;
    QList<int> inputBuffers;
    QList<int> outputBuffers;
    std::atomic<bool> recording{false};
    std::atomic<bool> recordBufferBusy{false}; // the driver thread is inside recordBuffer
    std::atomic<bool> monitoring{true};
    std::atomic<bool> reverseBit{false};
    std::atomic<unsigned> resyncCount{0};
    std::atomic<bool> resetRequested{false};
    std::atomic<Stop> pendingStop{Stop::None};
    std::atomic<qint64> pendingStopBytes{0};
    std::atomic<BadBuffer> pendingBadBuffer{BadBuffer::None};
    std::atomic<unsigned> dropouts{0};
    std::atomic<qint64> recordedSamples_{0};
    LevelMeter meters[kMeteredInputs];
};

#endif
