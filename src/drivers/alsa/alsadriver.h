#ifndef TESSARO_ALSADRIVER_H
#define TESSARO_ALSADRIVER_H

#include "alsacardlist.h"
#include "alsaformatprobe.h"
#include "alsapcm.h"
#include "audiorates.h"
#include "driverbase.h"

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
// Channels: every capture channel is an input (at most kMaxInputs); the rates, formats and
// buffer sizes are those of the device at AlsaPcm::channels(), and start() opens it with the
// fewest channels it takes that carry the inputs asked for, so inputs 3-4 of a card that
// allows 2 to 8 channels run it at 4. Up to 2 outputs where the playback device takes the
// current format and rate, else none (a capture-only card has none). Inputs and outputs carried
// as DoP say so in their names ("Input 1 (DoP)").
//
// Formats and rates (AlsaFormatProbe, learnt at init()): PCM is converted by AlsaPcmConvert on
// the device thread to and from ASIOSTInt32LSB words (the sample in the top bits); the format
// chosen is written to standard error when the stream starts. canSampleRate answers from the
// hardware parameter space for every rate, in either IO format; setSampleRate takes the rates
// of the current format only. future(kAsioSetIoFormat, kASIODSDFormat) selects DSD where the
// capture device offers native DSD, whose words AlsaDsdReorder turns into the byte stream, or
// DoP (AlsaDop), whose markers are checked on every frame and which monitoring plays back as
// DoP. A device with neither refuses the DSD format with ASE_NotPresent, and getErrorMessage
// says why.
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
class AlsaDriver : public DriverBase
{
public:
    static constexpr double kDsdBaseRate = AudioRates::kDsdBase;
    // More than any interface has: a plug device that takes any count offers this many.
    static constexpr unsigned kMaxInputs = 64;

    explicit AlsaDriver(const AlsaDeviceEntry& entry);

    unsigned long xrunCount() const;
    unsigned long dopLossCount() const;
    const AlsaDeviceEntry& entry() const { return m_entry; }

    ASIOBool init(void* sysHandle) override;
    void getErrorMessage(char* string) override;
    ASIOError start() override;
    ASIOError getBufferSize(long* minSize, long* maxSize, long* preferredSize,
                            long* granularity) override;
    ASIOError canSampleRate(ASIOSampleRate sampleRate) override;

private:
    using Setup = AlsaFormatProbe::Setup;

    ~AlsaDriver() override;

    QByteArray driverName() const override { return m_entry.description.toUtf8(); }
    long inputCount() const override;
    long outputCount() const override;
    bool acceptsRate(double rate) const override;
    bool offersFormat(ASIOIoFormatType type) const override;
    QString missingFormatText(ASIOIoFormatType type) const override;
    QString refusedRateText(double rate) const override;
    QByteArray channelNote(bool input) const override;
    std::shared_ptr<HalfBufferStream> makeStream(ASIOBufferInfo* infos, long count, long bufferSize,
                                                 const ASIOCallbacks& callbacks,
                                                 bool useTimeInfo) override;

    AlsaStream* stream() const;
    Setup captureSetup(unsigned channels) const;
    Setup playbackSetup() const;
    int openCapture();
    ASIOBool failInit(const QString& text);
    void dropReservation();

    const AlsaDeviceEntry m_entry;
    AlsaPcm m_capture;
    AlsaPcm m_playback;
    unsigned m_captureChannels = 0; // the count the device is asked about
    unsigned m_inputChannels = 0;
    unsigned m_playbackChannels = 0;
    AlsaFormatProbe m_formats;
    AlsaDeviceReservation* m_reservation = nullptr; // from init() until the card is let go
};

#endif
