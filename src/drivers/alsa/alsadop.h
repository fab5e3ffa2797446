#ifndef TESSARO_ALSADOP_H
#define TESSARO_ALSADOP_H

#include "alsapcmconvert.h"

#include <cstdint>

// DSD over PCM (DoP): a card without a native DSD format carries DSD in 24-bit PCM samples at
// one sixteenth of the DSD rate (176.4 kHz for DSD 1x, 352.8 kHz for 2x). The top byte of each
// 24-bit sample is a marker, 0x05 and 0xFA in turn from frame to frame and the same on every
// channel of a frame; the two bytes below it are 16 one-bit samples, the older 8 in the higher
// byte, each byte with its oldest sample in the most significant bit - so they are the
// driver's DSD byte stream (ASIOSTDSDInt8MSB1) as they are, higher byte first.
//
// Where the 24 bits lie in the card's word (little-endian, byte 0 first in memory):
//   S32_LE   marker byte 3, older byte 2, newer byte 1, byte 0 zero
//   S24_LE   marker byte 2, older byte 1, newer byte 0, byte 3 the sign (0x00 or 0xff)
//   S24_3LE  marker byte 2, older byte 1, newer byte 0
//
// Capture: check() walks the frames of a period before they are split into channels. A stream
// counts as DoP once kLockFrames frames in a row carry proper markers, its bits trusted from
// the next frame on; a frame whose markers do not alternate (the card sends plain PCM) ends
// that and counts one loss. Frames not trusted - that one and those until the markers have
// been back for kLockFrames frames - get the DSD idle pattern (0x69) instead of PCM sample
// bits, which as DSD would be loud noise.
//
// Pure functions on caller-owned memory, usable from any thread; they never allocate. A
// Checker belongs to one stream and is used by one thread at a time.
class AlsaDop
{
public:
    static constexpr uint8_t kMarkers[2] = {0x05, 0xfa};
    static constexpr uint8_t kIdle = 0x69;
    static constexpr int kLockFrames = 64;
    static constexpr int kBitsPerFrame = 16;

    // Whether the card's word holds a 24-bit sample (S32_LE, S24_LE, S24_3LE do; S16_LE not).
    static bool carries(AlsaPcmConvert::Layout layout);

    struct Checker
    {
        bool locked = false; // markers seen; a stream that was probed starts locked
        int run = 0;         // frames in a row with proper markers while not locked
        uint8_t last = 0;    // the previous frame's marker, 0 after a frame without one
    };

    // Checks `frames` interleaved frames of `channels` channels and replaces the DSD bits of
    // every frame not to be trusted by the idle pattern. Returns how many times the markers
    // were lost within these frames.
    static unsigned check(AlsaPcmConvert::Layout layout, uint8_t* interleaved, long frames,
                          int frameBytes, int channels, Checker* checker);

    // One channel's DSD bytes out of `frames` frames (2 bytes a frame), older byte first.
    static void extract(AlsaPcmConvert::Layout layout, const uint8_t* interleaved, long frames,
                        int frameBytes, int channel, uint8_t* stream);

    // The reverse for playback: `frames` frames of DoP for one channel, starting with marker
    // `marker` (an index into kMarkers) and alternating; the other channels are untouched.
    static void insert(AlsaPcmConvert::Layout layout, const uint8_t* stream, long frames,
                       int frameBytes, int channel, int marker, uint8_t* interleaved);

    // DoP silence on every channel of `frames` frames, starting with marker `marker`.
    static void fillIdle(AlsaPcmConvert::Layout layout, long frames, int frameBytes, int channels,
                         int marker, uint8_t* interleaved);
};

#endif
