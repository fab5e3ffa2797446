#ifndef TESSARO_ALSADRIVER_H
#define TESSARO_ALSADRIVER_H

#include "alsacardlist.h"
#include "alsadsdreorder.h"
#include "alsapcm.h"
#include "alsapcmconvert.h"
#include "audiorates.h"
#include "iasio.h"

#include <QMap>
#include <atomic>
#include <memory>

class AlsaDeviceReservation;
class AlsaStream;

// Registers one built-in driver class per ALSA device that can capture (see AlsaCardList for
// which devices and how they are named). The provider enumerates the cards each time a driver
// list is built. Call at start-up, before the first driver list exists; calling it again
// changes nothing.
void registerAlsaDrivers();

// The driver interface over one ALSA device: its first capture device for the inputs and its
// first playback device for the outputs (monitoring), both opened at init() and held until
// the driver is released.
//
// Channels: 2 inputs, or 1 for a mono device; a device with more offers its first two. As many
// outputs where the playback device takes the current format and rate, else none (a
// capture-only card has none).
//
// PCM: the first of S32_LE, S24_LE, S24_3LE and S16_LE that the device takes at the rate,
// converted by AlsaPcmConvert on the device thread to and from ASIOSTInt32LSB words (the
// sample in the top bits). The formats each device offers are written to standard error at
// init(), the format chosen when the stream starts. canSampleRate
// answers from the hardware parameter space (snd_pcm_hw_params_test_rate through
// AlsaPcm::supports) for every rate, in either IO format; setSampleRate takes the rates of
// the current format only.
//
// DSD: future(kAsioSetIoFormat, kASIODSDFormat) selects DSD where the capture device offers
// one of ALSA's native DSD formats; the channels then carry ASIOSTDSDInt8MSB1. A DSD rate r
// runs the card at r / 8 / w frames per second, w the bytes of the DSD word; of the formats
// that allow that rate the driver takes the first of DSD_U32_BE, DSD_U32_LE, DSD_U16_BE,
// DSD_U16_LE, DSD_U8, and AlsaDsdReorder turns its words into the byte stream. A device
// without native DSD falls back to DoP (AlsaDop): a DSD rate r whose r / 16 the card takes as
// PCM in S32_LE, S24_LE or S24_3LE is offered when init() found DoP markers in a short capture
// at that rate, and then runs the card as PCM at r / 16, its markers checked on every frame;
// played DSD goes back to the card as DoP. Which rates carry DoP, and the markers found or
// not, are written to standard error. A device with neither refuses the DSD format with
// ASE_NotPresent, and getErrorMessage says why. Switching the IO format moves the rate into
// the new format when it is not there yet.
//
// Buffer sizes (ASIO samples per channel and half, powers of two, granularity -1) come from
// the period sizes the device allows at the current format and rate; a half is one period.
// Preferred: 512 samples per 48 kHz of PCM rate (about 11 ms), 32768 per DSD multiple.
//
// Sharing the card: before opening it, init() reserves the card on the session bus
// (AlsaDeviceReservation), so that a sound server that holds it lets it go; the reservation
// is given back when the driver is released. Where the card is still busy, the error message
// names the program that holds it and says how to free it.
//
// Faults: overruns and underruns are recovered and counted (xrunCount); the host hears of
// each through asioMessage(kAsioResyncRequest), and getErrorMessage reports the count while
// there is no other error. A device that vanishes sends kAsioResetRequest once from the
// device thread; init() then fails with "device unplugged ..." until it can be opened again.
//
// Threads: the IASIO operations on the host's GUI thread (getSamplePosition and outputReady
// also from inside the buffer switch); the callbacks on the device thread of AlsaStream.
// stop() or disposeBuffers() from the device thread is refused with ASE_InvalidMode rather
// than deadlocking; a final Release() on that thread leaves the stream to end by itself.
// Every field is the GUI thread's; the stream's state and counters are its own atomics.
class AlsaDriver : public IASIO
{
public:
    static constexpr double kDsdBaseRate = AudioRates::kDsdBase;

    explicit AlsaDriver(const AlsaDeviceEntry& entry);

    unsigned long xrunCount() const;
    unsigned long dopLossCount() const;
    const AlsaDeviceEntry& entry() const { return m_entry; }

    unsigned long AddRef() override;
    unsigned long Release() override;
    ASIOBool init(void* sysHandle) override;
    void getDriverName(char* name) override;
    long getDriverVersion() override;
    void getErrorMessage(char* string) override;
    ASIOError start() override;
    ASIOError stop() override;
    ASIOError getChannels(long* numInputChannels, long* numOutputChannels) override;
    ASIOError getLatencies(long* inputLatency, long* outputLatency) override;
    ASIOError getBufferSize(long* minSize, long* maxSize, long* preferredSize,
                            long* granularity) override;
    ASIOError canSampleRate(ASIOSampleRate sampleRate) override;
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

private:
    // How one direction runs in the current format at the current rate.
    struct Setup
    {
        bool ok = false;
        snd_pcm_format_t format = SND_PCM_FORMAT_UNKNOWN;
        AlsaDsdReorder::Layout layout = AlsaDsdReorder::Layout::U8;
        AlsaPcmConvert::Layout pcmLayout = AlsaPcmConvert::Layout::S32;
        bool dop = false; // a DSD rate carried in PCM words of pcmLayout
        int wordBytes = 4;
        unsigned frameRate = 0;
    };

    ~AlsaDriver() override;

    bool isDsd() const { return m_format == kASIODSDFormat; }
    bool isRunning() const;
    Setup setupFor(const AlsaPcm& pcm, unsigned channels, bool dsd, double rate) const;
    bool deviceTakes(double rate) const;
    bool acceptsRate(double rate) const;
    bool hasNativeDsd() const;
    bool hasDsd() const;
    void probeDop();
    QString noDsdReason() const;
    bool hasPcm() const;
    void reportFormats() const;
    long inputCount() const;
    long outputCount() const;
    long samplesPerFrame(const Setup& s) const;
    void setError(const QString& text);
    ASIOError setIoFormat(const ASIOIoFormat* format);
    int openCapture();
    ASIOBool failInit(const QString& text);
    void dropReservation();

    const AlsaDeviceEntry m_entry;
    std::atomic<unsigned long> m_refs{1};
    AlsaPcm m_capture;
    AlsaPcm m_playback;
    unsigned m_captureChannels = 0;
    unsigned m_playbackChannels = 0;
    QMap<double, bool> m_rateAnswers; // canSampleRate of the standard rates, found at init
    QMap<double, bool> m_dopMarkers;  // DSD rates the card could carry as DoP: markers seen
    bool m_nativeDsd = false;
    ASIOIoFormatType m_format = kASIOPCMFormat;
    double m_rate = 44100.0;
    bool m_initialized = false;
    char m_errorMessage[124] = {};
    std::shared_ptr<AlsaStream> m_stream;
    AlsaDeviceReservation* m_reservation = nullptr; // from init() until the card is let go
};

#endif
