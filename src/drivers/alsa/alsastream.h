#ifndef TESSARO_ALSASTREAM_H
#define TESSARO_ALSASTREAM_H

#include "alsadop.h"
#include "alsadsdreorder.h"
#include "alsapcmconvert.h"
#include "halfbufferstream.h"

#include <alsa/asoundlib.h>
#include <atomic>
#include <string>
#include <vector>

// The ALSA driver's double buffers and the device thread that moves periods between the card
// and them. Each capture period (one ASIO half) is read with snd_pcm_readi, split into the
// input halves, handed to the host by bufferSwitch (or bufferSwitchTimeInfo) for half 0, 1,
// 0, ...; then the output halves of that index are interleaved and written to the playback
// PCM with snd_pcm_writei. The thread waits in poll() on the capture PCM's descriptors and
// an eventfd that stop() signals, so it paces itself by the card's clock.
//
// DoP (a DSD stream carried in PCM words, see AlsaDop): the capture frames are checked before
// they are split, and each time the markers are lost the host hears kAsioResyncRequest, so the
// recording counts a dropout; the first loss is written to standard error. Played DSD goes out
// as DoP with markers that alternate across periods.
//
// Faults: an overrun or underrun (-EPIPE, -ESTRPIPE, or the PCM found in the XRUN or
// SUSPENDED state after a poll error) is recovered with snd_pcm_recover, the stream started
// again, the count increased and kAsioResyncRequest sent to the host. A device that vanished
// (-ENODEV, -EBADFD, any other read error, an error on poll while the PCM is DISCONNECTED or
// gone, or 5 s without a period) ends the thread after sending kAsioResetRequest, once.
//
// The stream never allocates once started: the interleaved period buffers are allocated at
// start, the halves by HalfBufferStream.
//
// Threads: construction, start, stop, release on the GUI thread; run on the device thread;
// xruns, dopLosses, lostReason from both. m_positionMutex guards m_lostReason; the counters are
// atomic. The PCM handles belong to the driver, which touches them only while no thread runs.
class AlsaStream : public HalfBufferStream
{
public:
    // One direction of the card as configured for this stream.
    struct Direction
    {
        snd_pcm_t* pcm = nullptr; // null: no device in this direction
        bool dsd = false;
        bool dop = false; // DSD carried in the PCM words of pcmLayout
        AlsaDsdReorder::Layout layout = AlsaDsdReorder::Layout::U8;     // DSD only
        AlsaPcmConvert::Layout pcmLayout = AlsaPcmConvert::Layout::S32; // PCM only
        int wordBytes = 4;  // bytes of one channel's sample word
        int hwChannels = 2; // channels of the ALSA frame
        int silence = 0;    // the byte that fills silent output
    };

    // The halves as HalfBufferStream makes them; the position's time is when a period was read.
    AlsaStream(ASIOBufferInfo* infos, long count, long bufferSize, bool dsd,
               const ASIOCallbacks& callbacks, bool useTimeInfo, std::string deviceName);
    ~AlsaStream() override;

    // The directions as configured by the driver and the ASIO rate; then runs the thread.
    // `periodFrames` ALSA frames make one half of `bufferSize` ASIO samples.
    bool start(const Direction& capture, const Direction& playback, long periodFrames, double rate,
               std::string* error);

    unsigned long xruns() const { return m_xruns; }
    unsigned long dopLosses() const { return m_dopLosses; }
    std::string lostReason() const;

private:
    void run() override;
    void wake() override;
    // Drops both PCMs.
    void halt() override;
    void setRealtimePriority();
    bool readPeriod(long* filled);
    void writeOutputs(long half);
    bool recover(snd_pcm_t* pcm, int err, bool playback);
    void prefillPlayback();
    void lose(const std::string& reason);
    void splitInputs(long half);
    void joinOutputs(long half);
    void checkDop();
    void fillPlaybackSilence();

    Direction m_capture;
    Direction m_playback;
    long m_periodFrames = 0;
    std::vector<uint8_t> m_captureBuffer;
    std::vector<uint8_t> m_playbackBuffer;
    std::vector<pollfd> m_pollFds; // capture descriptors, then the wake-up eventfd
    int m_wakeFd = -1;
    AlsaDop::Checker m_dopChecker;
    int m_dopMarker = 0; // of the next frame played

    std::atomic<unsigned long> m_xruns{0};
    std::atomic<unsigned long> m_dopLosses{0};
    std::string m_lostReason;
};

#endif
