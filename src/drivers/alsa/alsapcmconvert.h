#ifndef TESSARO_ALSAPCMCONVERT_H
#define TESSARO_ALSAPCMCONVERT_H

#include <alsa/asoundlib.h>
#include <cstdint>

// Moves PCM samples between the sample words of a card's format and the driver's words per
// channel (ASIOSTInt32LSB: 32-bit little-endian, the sample in the most significant bits).
//
//   S32_LE   4 bytes, the sample as it is
//   S24_LE   4 bytes, 24 bits in the low three bytes; the top byte is ignored on capture and
//            carries the sign on playback
//   S24_3LE  3 bytes, 24 bits
//   S16_LE   2 bytes, 16 bits
// A capture word of fewer bits gets zeros below them; a playback word keeps the top bits of
// the driver's word and drops the rest.
//
// Pure functions on caller-owned memory, usable from any thread; they never allocate.
class AlsaPcmConvert
{
public:
    enum class Layout
    {
        S32,
        S24In4,
        S24In3,
        S16
    };

    static int wordBytes(Layout layout);
    static snd_pcm_format_t format(Layout layout);

    // Copies one channel out of `frames` interleaved frames into `words` (frames * 4 bytes).
    // `frameBytes` is the size of a whole frame (all channels), `channel` the channel's index.
    static void extract(Layout layout, const uint8_t* interleaved, long frames, int frameBytes,
                        int channel, uint8_t* words);

    // The reverse, leaving the other channels' samples untouched.
    static void insert(Layout layout, const uint8_t* words, long frames, int frameBytes,
                       int channel, uint8_t* interleaved);
};

#endif
