#ifndef TESSARO_ASIOHOSTSTATE_H
#define TESSARO_ASIOHOSTSTATE_H

#include "asio.h"
#include "audiobufferprocessor.h"

#include <QStringList>
#include <cstdint>

// Everything the host knows about the loaded driver. initAsioStaticData and createAsioBuffers
// take this record by reference.
struct AsioDriverData
{
    ASIODriverInfo driverInfo{};
    long inputChannelCount = 0;
    long outputChannelCount = 0;
    long minBufferSize = 0;
    long maxBufferSize = 0;
    long preferredBufferSize = 0;
    long bufferSizeGranularity = 0;
    double sampleRate = 0.0;
    bool outputReadySupported = false;
    long inputLatency = 0;
    long outputLatency = 0;
    long inputBufferCount = 0;
    long outputBufferCount = 0;
    // The driver's channel number of the first input recorded; the next one is the second.
    long firstInputChannel = 0;
    ASIOBufferInfo bufferInfos[4]{};
    ASIOChannelInfo channelInfos[4]{};
    double lastSystemTimeNs = 0.0;
    double lastSamplePosition = 0.0;
    double lastTimeCodeSamples = 0.0;
    ASIOTime lastTimeInfo{};
    bool stopped = false;
};

// The process-wide host state with the driver callbacks.
//
// Threads: the four callbacks run on the driver's thread and read the buffer fields and
// processor without a lock; those change only while buffers are created or disposed, when the
// driver delivers no buffer switch. Everything else runs on the GUI thread.
class AsioHostState : public AsioDriverData
{
public:
    static AsioHostState* instance();

    virtual void setBufferProcessor(AudioBufferProcessor* processor);

    ASIOCallbacks callbacks{};
    AudioBufferProcessor* processor = nullptr;

    // Driver callbacks (driver thread).
    static void bufferSwitch(long index, ASIOBool processNow);
    static ASIOTime* bufferSwitchTimeInfo(ASIOTime* timeInfo, long index, ASIOBool processNow);
    static long asioMessage(long selector, long value, void* message, double* opt);
    static void sampleRateDidChange(ASIOSampleRate rate);

    void installAsioCallbacks();
    ASIOError createAsioBuffers(AsioDriverData& d);

private:
    AsioHostState() = default;
};

// Reads channel counts, buffer sizes, the current rate and output-ready support:
// 0 on success, -1/-2/-3 for the first failing query.
int initAsioStaticData(AsioDriverData& d);

// The 11 standard rates probed against the current driver: the rate text ("44100.0") when
// accepted, "<rate text> not supported" otherwise.
QStringList sampleRateCandidates();

#endif
