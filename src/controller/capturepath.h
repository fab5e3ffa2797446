#ifndef TESSARO_CAPTUREPATH_H
#define TESSARO_CAPTUREPATH_H

#include "asio.h"
#include "capturegate.h"
#include "framering.h"
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
//
// Hands-free capture: a recording begins at a buffer switch, with the frames of the pre-record
// before it, and the level decisions (CaptureGate) are taken once a frame, after the meters.
// The pre-record ring is the driver thread's while ringsEnabled is set (the GUI thread clears
// it and waits out a running block before it resizes or empties the ring); the held frames of
// a silence belong to the driver thread while it records, and to the GUI thread once
// stopAndWait has seen the recording end. What the GUI thread must learn (a trigger, a stop
// after silence, a new track) comes as atomic events; a new track reaches the writer through
// its queue, in order with the blocks.
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
        bool triggered = false;   // armed, an input reached the start level
        bool silenceStop = false; // the recording has been silent for the stop time
        unsigned newTracks = 0;   // gaps that began a new track
    };
    // Frames kept back: before a recording, and the end of a silence while recording.
    struct Rings
    {
        int preRecordFrames = 0;
        int triggerFrames = 0; // room for the trigger's frame until the recording takes it
        int holdFrames = 0;
    };

    CapturePath(AsioHostState* host, PartitionManager* partitions, AudioFileWriter* writer);

    static double bytesPerSample(ASIOSampleType type);

    // Driver thread.
    void process(unsigned char* data, long channel, ASIOSampleType sampleType, long bufferSize,
                 long bufferIndex);
    void monitorBuffer(unsigned char* data, long channel, ASIOSampleType sampleType,
                       long bufferSize, long bufferIndex);
    // level: the highest of the frame's inputs so far is taken with it (see LevelMeter).
    void recordBuffer(unsigned char* data, long channel, ASIOSampleType sampleType, long bufferSize,
                      float level = -1.0f);
    float meterBuffer(unsigned char* data, long channel, ASIOSampleType sampleType,
                      long bufferSize);
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
    // so that no partition is taken after a stop; the frames of a silence still held then go
    // to the writer. Returns whether it was recording.
    bool stopAndWait();
    // Not while recording.
    void configureRings(const Rings& rings);
    void dropPreRecord();
    CaptureGate& gate() { return gate_; }
    void setArmed(bool armed);
    bool isArmed() const { return armed; }
    // Frames the pre-record holds now.
    int preRecordedFrames() const { return preRecordFrames_; }
    // Blocks taken from the pool that wait for the writer (the pre-record's do not).
    int waitingBlocks() const;
    // The recorded-sample count where the current track began.
    qint64 trackStart() const { return trackStart_; }
    void setTrackStart(qint64 samples) { trackStart_ = samples; }
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
    void recordBlock(unsigned char* data, long channel, qint64 bytes, long bufferSize);
    uchar* copyToPool(const unsigned char* data, qint64 bytes);
    void holdBlock(int input, unsigned char* data, long channel, qint64 bytes);
    void preRecordBlock(int input, unsigned char* data, long channel, qint64 bytes,
                        long bufferSize);
    void startFrame(bool recordingNow, long bufferSize);
    void takePreRecord();
    void decide(bool recordingNow, long bufferSize);
    void endGap();
    void appendFrame(const FrameRing::Frame& frame);
    void releaseFrame(const FrameRing::Frame& frame);
    void appendHeld();
    void releasePreRecord();
    void pauseRings();
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

    CaptureGate gate_;
    FrameRing preRecord;
    FrameRing held;
    int preRecordWanted = 0; // frames a start takes from the pre-record
    std::atomic<bool> ringsEnabled{false};
    std::atomic<bool> armed{false};
    std::atomic<bool> pendingTrigger{false};
    std::atomic<bool> pendingSilenceStop{false};
    std::atomic<unsigned> pendingNewTracks{0};
    std::atomic<int> preRecordFrames_{0};
    std::atomic<int> preRecordBlocks{0};
    std::atomic<qint64> trackStart_{0};
    // Driver thread only.
    bool active = false;       // the recording has begun at a buffer switch
    bool holdingFrame = false; // this frame's blocks wait in held
    bool triggered = false;
    quint64 triggerFrame = 0; // the pre-record's number of the frame that triggered
    float frameLevel = -1.0f;
};

#endif
