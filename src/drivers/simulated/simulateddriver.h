#ifndef TESSARO_SIMULATEDDRIVER_H
#define TESSARO_SIMULATEDDRIVER_H

#include "audiorates.h"
#include "driverbase.h"

#include <QString>
#include <atomic>
#include <cstdint>

// Registers the simulated device as a built-in driver class ("Halvik Simulated Device").
// Call at start-up, before the first driver list is built. Calling it again changes nothing.
void registerSimulatedDriver();

// A driver that behaves like a Halvik interface without any hardware: 4 inputs (a tone of
// 1000, 1500, 2000 and 2500 Hz, so that any pair can be told apart) and 2 outputs, the 11
// standard rates, PCM or DSD chosen through future(kAsioSetIoFormat), and a
// thread of its own that delivers the buffer switches at the pace of the rate (absolute
// deadlines, so the pace does not drift).
//
// Modes and rates: a new instance starts in PCM at 44100 Hz. In PCM only the PCM rates
// (44100 ... 384000) are accepted and the channels carry ASIOSTInt32LSB; in DSD only
// 2822400, 5644800 and 11289600 are accepted and the channels carry ASIOSTDSDInt8MSB1
// (8 one-bit samples per byte, the oldest in the most significant bit). Switching the IO
// format moves the rate to 44100 or 2822400 when the current one belongs to the other mode.
// canSampleRate accepts all 11 rates in either mode; setSampleRate only those of the mode.
//
// Buffer sizes, in samples per channel and half (powers of two, granularity -1):
//   PCM: min 64, preferred 512, max 8192;
//   DSD at multiple m (rate / 2822400): min 1024 m, preferred 4096 m, max 32768 m
//   (4096 m bits = 512 m bytes, one half every 1.45 ms at every DSD rate).
//
// Input signals (see setSignal), with i the sample index since start() on channel c:
//   Tone, PCM: round(kToneAmplitude * 2147483647 * sin(2 pi kToneHz[c] i / rate)).
//   Tone, DSD: a fifth-order sigma-delta modulation of
//              kToneAmplitude * sin(2 pi kToneHz[c] i / rate).
//   Pattern, PCM: sample i of channel c is the word patternWord(c, i).
//   Pattern, DSD: byte j of channel c is patternByte(c, j), so the bytes of a channel, read
//                 as big-endian 32-bit words, are patternWord(c, 0), patternWord(c, 1), ...
// A pattern that arrives complete, once and in order, on the right channel proves that no
// half-buffer was lost, repeated, reordered or swapped. The signal is chosen at start().
//
// Level and bursts, for the meters: setToneLevelDb sets the tone's peak in dB of full scale
// (PCM full scale, DSD 100 % modulation), kToneLevelDb by default, -infinity for silence; it
// takes effect at the next buffer, in every input. addFullScaleBurst puts kBurstMs of
// full-scale samples into one channel at its next buffer (PCM: the largest 32-bit word; DSD:
// all bits set). The environment sets both for the program: TESSARO_SIMULATED_TONE_DB (read by
// registerSimulatedDriver), and TESSARO_SIMULATED_BURST=<channel>@<seconds>, a burst in that
// input channel (0 to 3) that many seconds after every start().
// The outputs are accepted and discarded.
//
// Unplugging: while unplugged (setUnplugged(true), or while the control file exists) the
// device thread stops delivering buffers and sends kAsioResetRequest through asioMessage,
// once, from its own thread; init() fails with the error message "device unplugged" and
// start() fails with ASE_NotPresent until the device is plugged in again. The control file
// is $TESSARO_SIMULATED_UNPLUG_FILE when set, else $XDG_RUNTIME_DIR/tessaro-simulated-unplugged
// (/tmp/tessaro-simulated-unplugged without XDG_RUNTIME_DIR); the streaming thread looks for it
// every 200 ms.
//
// Threads: as DriverBase; the callbacks on the device thread of SimulatedStream. The static
// controls are atomics, usable from any thread.
class SimulatedDriver : public DriverBase
{
public:
    static constexpr const char* kDescription = "Halvik Simulated Device";
    static constexpr const char* kClsid = "{5e0b6a1c-8f3d-4c27-9a51-7d2e4b9c0f13}";
    static constexpr long kInputChannels = 4;
    static constexpr long kOutputChannels = 2;
    static constexpr double kToneHz[kInputChannels] = {1000.0, 1500.0, 2000.0, 2500.0};
    static constexpr double kToneAmplitude = 0.5; // -6.02 dB of full scale
    static constexpr double kToneLevelDb = -6.0206;
    static constexpr int kBurstMs = 10;
    static constexpr long kPcmMinBufferSize = 64;
    static constexpr long kPcmPreferredBufferSize = 512;
    static constexpr long kPcmMaxBufferSize = 8192;
    static constexpr long kDsdMinBufferSize = 1024; // each times the DSD multiple
    static constexpr long kDsdPreferredBufferSize = 4096;
    static constexpr long kDsdMaxBufferSize = 32768;
    static constexpr double kDsdBaseRate = AudioRates::kDsdBase;

    enum class Signal
    {
        Tone,
        Pattern
    };

    static void setSignal(Signal signal);
    static Signal signal();
    static void setUnplugged(bool unplugged);
    // The flag of setUnplugged or the existence of the control file.
    static bool isUnplugged();
    static QString controlFilePath();
    static void setToneLevelDb(double db);
    // The tone's amplitude relative to kToneAmplitude.
    static double toneGain();
    static void addFullScaleBurst(long channel);
    // Device thread: whether a burst was asked for the channel since the last call.
    static bool takeBurstRequest(long channel);
    // Samples of one burst at the rate: kBurstMs, a whole number of DSD bytes.
    static long burstLength(double rate);

    static uint32_t patternWord(long channel, uint64_t sampleIndex)
    {
        return (uint32_t(channel + 1) << 28) | uint32_t(sampleIndex & 0x0fffffffu);
    }
    static uint8_t patternByte(long channel, uint64_t byteIndex)
    {
        return uint8_t(patternWord(channel, byteIndex / 4) >> (8 * (3 - byteIndex % 4)));
    }

    SimulatedDriver();

    ASIOBool init(void* sysHandle) override;
    ASIOError start() override;
    ASIOError getBufferSize(long* minSize, long* maxSize, long* preferredSize,
                            long* granularity) override;
    ASIOError canSampleRate(ASIOSampleRate sampleRate) override;

private:
    friend class SimulatedStream;
    static std::atomic<bool> s_unplugged;
    static std::atomic<double> s_toneGain;
    static std::atomic<bool> s_burstRequests[kInputChannels];

    QByteArray driverName() const override { return kDescription; }
    long inputCount() const override { return kInputChannels; }
    long outputCount() const override { return kOutputChannels; }
    bool acceptsRate(double rate) const override;
    bool offersFormat(ASIOIoFormatType) const override { return true; }
    std::shared_ptr<HalfBufferStream> makeStream(ASIOBufferInfo* infos, long count, long bufferSize,
                                                 const ASIOCallbacks& callbacks,
                                                 bool useTimeInfo) override;
    long dsdMultiple() const { return long(m_rate / kDsdBaseRate); }
};

#endif
