#ifndef TESSARO_DRIVERBASE_H
#define TESSARO_DRIVERBASE_H

#include "halfbufferstream.h"
#include "iasio.h"

#include <QByteArray>
#include <QString>
#include <atomic>
#include <memory>

// The driver interface as every built-in driver answers it, around a HalfBufferStream: the
// reference count, the one internal clock, the sample position, the channels' names and types,
// the checks of createBuffers, the IO format selectors of future(), the latencies and the error
// message. A driver adds what its device decides: init, start, its channel counts, its buffer
// sizes, the rates and formats it takes, and the stream it makes.
//
// Rules every driver keeps through this class: nothing but init, getDriverName,
// getDriverVersion, getErrorMessage, getClockSources and the reference count answers before a
// successful init() (ASE_NotPresent); a new IO format is refused while buffers exist, a new
// rate while the stream runs (ASE_InvalidMode); switching the IO format moves the rate to the first
// standard rate of the new format when the current one is not of it. Buffer sizes are powers
// of two, granularity -1. The channels carry ASIOSTInt32LSB in PCM, ASIOSTDSDInt8MSB1 in DSD,
// and are named "Input n" and "Output n" (with a note, see channelNote). The latencies are one
// buffer in, two out.
//
// Threads: the IASIO operations on the host's GUI thread (getSamplePosition and outputReady
// also from inside the buffer switch). The fields are the GUI thread's; the stream's state is
// its own atomics.
class DriverBase : public IASIO
{
public:
    unsigned long AddRef() override;
    unsigned long Release() override;
    void getDriverName(char* name) override;
    long getDriverVersion() override;
    void getErrorMessage(char* string) override;
    ASIOError stop() override;
    ASIOError getChannels(long* numInputChannels, long* numOutputChannels) override;
    ASIOError getLatencies(long* inputLatency, long* outputLatency) override;
    ASIOError getSampleRate(ASIOSampleRate* sampleRate) override;
    ASIOError setSampleRate(ASIOSampleRate sampleRate) override;
    ASIOError getClockSources(ASIOClockSource* clocks, long* numSources) override;
    ASIOError setClockSource(long reference) override;
    ASIOError getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) override;
    ASIOError getChannelInfo(ASIOChannelInfo* info) override;
    ASIOError createBuffers(ASIOBufferInfo* bufferInfos, long numChannels, long bufferSize,
                            ASIOCallbacks* callbacks) override;
    ASIOError disposeBuffers() override;
    ASIOError controlPanel() override;
    ASIOError future(long selector, void* opt) override;
    ASIOError outputReady() override;

protected:
    DriverBase() = default;
    ~DriverBase() override;

    static bool isPowerOfTwo(long v) { return v > 0 && (v & (v - 1)) == 0; }

    // The name getDriverName gives, and the one the stream's diagnostics use.
    virtual QByteArray driverName() const = 0;
    virtual long inputCount() const = 0;
    virtual long outputCount() const = 0;
    // Whether setSampleRate takes the rate in the current IO format.
    virtual bool acceptsRate(double rate) const = 0;
    // Whether the device can run in the IO format (kASIOPCMFormat or kASIODSDFormat).
    virtual bool offersFormat(ASIOIoFormatType type) const = 0;
    // Why the device does not offer the IO format, for getErrorMessage.
    virtual QString missingFormatText(ASIOIoFormatType type) const;
    // Why setSampleRate refused a rate, for getErrorMessage; empty to leave the message.
    virtual QString refusedRateText(double rate) const;
    // How the inputs or the outputs are carried in the current format and rate, where the
    // user should know it ("DoP"): their names then end in it, in parentheses.
    virtual QByteArray channelNote(bool input) const;
    // The stream of the buffers createBuffers has checked.
    virtual std::shared_ptr<HalfBufferStream> makeStream(ASIOBufferInfo* infos, long count,
                                                         long bufferSize,
                                                         const ASIOCallbacks& callbacks,
                                                         bool useTimeInfo) = 0;

    bool isDsd() const { return m_format == kASIODSDFormat; }
    bool isRunning() const;
    // For a driver whose stream uses what its own destructor closes.
    void releaseStream();
    // The first of the standard rates that acceptsRate takes; 0 when none.
    double firstAcceptedRate() const;
    void setError(const QString& text);

    ASIOIoFormatType m_format = kASIOPCMFormat;
    double m_rate = 44100.0;
    bool m_initialized = false;
    char m_errorMessage[124] = {};
    std::shared_ptr<HalfBufferStream> m_stream;

private:
    ASIOError setIoFormat(ASIOIoFormatType type);

    std::atomic<unsigned long> m_refs{1};
};

#endif
