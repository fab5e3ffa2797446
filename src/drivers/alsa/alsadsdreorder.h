#ifndef TESSARO_ALSADSDREORDER_H
#define TESSARO_ALSADSDREORDER_H

#include <cstdint>

// Moves DSD bytes between ALSA's native DSD sample words and the driver's byte stream per
// channel (ASIOSTDSDInt8MSB1: one byte per 8 one-bit samples, the oldest sample in the most
// significant bit, bytes in time order).
//
// ALSA's DSD formats pack 1, 2 or 4 such bytes into one sample word per channel and frame.
// The word, read as an unsigned integer, holds its bytes oldest first from the most
// significant end (so the oldest bit of the word is its most significant bit, as in every
// byte). The endianness in the format's name says how that integer lies in memory:
//   DSD_U8      memory b0
//   DSD_U16_BE  memory b0 b1          DSD_U16_LE  memory b1 b0
//   DSD_U32_BE  memory b0 b1 b2 b3    DSD_U32_LE  memory b3 b2 b1 b0
// with b0 the oldest byte of the word. Bits inside a byte are never reordered: ALSA and the
// driver both put the oldest sample in the most significant bit.
//
// Pure functions on caller-owned memory, usable from any thread; they never allocate.
class AlsaDsdReorder
{
public:
    enum class Layout
    {
        U8,
        U16LE,
        U16BE,
        U32LE,
        U32BE
    };

    static int wordBytes(Layout layout);

    // Copies one channel out of `frames` interleaved frames into its byte stream:
    // `stream` receives frames * wordBytes bytes. `frameBytes` is the size of a whole frame
    // (all channels), `channel` the channel's index in it.
    static void extract(Layout layout, const uint8_t* interleaved, long frames, int frameBytes,
                        int channel, uint8_t* stream);

    // The reverse: puts frames * wordBytes bytes of one channel's stream into its words of
    // `frames` interleaved frames, leaving the other channels' words untouched.
    static void insert(Layout layout, const uint8_t* stream, long frames, int frameBytes,
                       int channel, uint8_t* interleaved);
};

#endif
