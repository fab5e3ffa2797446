#ifndef TESSARO_ALSAPCM_H
#define TESSARO_ALSAPCM_H

#include "alsapcmconvert.h"

#include <QByteArray>
#include <QString>
#include <alsa/asoundlib.h>

// One open ALSA PCM (capture or playback), opened non-blocking, with the questions the driver
// asks of its hardware parameters. Every question refines a fresh copy of the full parameter
// space, so it tells what the device itself can do and changes nothing on it; configure()
// and carriesDop() are the operations that install parameters.
//
// Threads: owned by AlsaDriver; used on the GUI thread while no stream runs, and by the
// stream's device thread (through handle()) while it runs. No lock: the two never overlap.
class AlsaPcm
{
public:
    AlsaPcm() = default;
    ~AlsaPcm();
    AlsaPcm(const AlsaPcm&) = delete;
    AlsaPcm& operator=(const AlsaPcm&) = delete;

    // 0 or a negative errno from snd_pcm_open.
    int open(const QByteArray& name, snd_pcm_stream_t stream);
    void close();
    bool isOpen() const { return m_pcm != nullptr; }
    snd_pcm_t* handle() const { return m_pcm; }

    // The channel count the driver opens the device with: 2 when allowed; a device that
    // cannot take 2 gets its smallest count (1 for a mono device, more for a device with a
    // fixed larger count, whose first two channels are then used). 0 when it cannot be read.
    unsigned channels() const;
    // The most channels the device takes; 0 when it cannot be read.
    unsigned maxChannels() const;
    // The fewest channels the device takes that carry channel numbers 0 .. span - 1 and at
    // least channels(); 0 when there is no such count.
    unsigned channelsSpanning(unsigned span) const;
    bool supports(snd_pcm_format_t format, unsigned channels, unsigned rate) const;
    // The period sizes (frames) the device allows with these parameters and 2 or more
    // periods; false when the parameters themselves are refused.
    bool periodRange(snd_pcm_format_t format, unsigned channels, unsigned rate,
                     snd_pcm_uframes_t* minFrames, snd_pcm_uframes_t* maxFrames) const;
    // Interleaved read/write access, exactly these parameters, `period` frames per period and
    // at least 2 periods; the stream starts only when started explicitly and wakes its poll
    // once a period is ready. 0 or a negative errno, with the reason in `error`.
    int configure(snd_pcm_format_t format, unsigned channels, unsigned rate,
                  snd_pcm_uframes_t period, QString* error);

    // Captures briefly (at most a second) in this format and rate and tells whether the frames
    // carry DSD over PCM (AlsaDop's markers); the PCM is left stopped. Capture PCMs only.
    bool carriesDop(AlsaPcmConvert::Layout layout, unsigned channels, unsigned rate);

private:
    bool refine(snd_pcm_hw_params_t* params, snd_pcm_format_t format, unsigned channels,
                unsigned rate) const;

    snd_pcm_t* m_pcm = nullptr;
};

#endif
