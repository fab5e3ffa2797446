#include "alsadop.h"

namespace {

// Byte of the marker in the card's word; the older DSD byte lies one below it, the newer two.
int markerByte(AlsaPcmConvert::Layout layout)
{
    return layout == AlsaPcmConvert::Layout::S32 ? 3 : 2;
}

bool isMarker(uint8_t b)
{
    return b == AlsaDop::kMarkers[0] || b == AlsaDop::kMarkers[1];
}

} // namespace

constexpr uint8_t AlsaDop::kMarkers[2];

bool AlsaDop::carries(AlsaPcmConvert::Layout layout)
{
    return layout != AlsaPcmConvert::Layout::S16;
}

unsigned AlsaDop::check(AlsaPcmConvert::Layout layout, uint8_t* interleaved, long frames,
                        int frameBytes, int channels, Checker* checker)
{
    const int m = markerByte(layout);
    const int wordBytes = AlsaPcmConvert::wordBytes(layout);
    unsigned losses = 0;
    uint8_t* frame = interleaved;
    for (long f = 0; f < frames; ++f, frame += frameBytes) {
        const uint8_t marker = frame[m];
        bool proper = isMarker(marker) && marker != checker->last;
        for (int c = 1; c < channels && proper; ++c)
            proper = frame[c * wordBytes + m] == marker;
        checker->last = proper ? marker : 0;
        if (proper && checker->locked)
            continue;
        if (proper) {
            checker->locked = ++checker->run >= kLockFrames; // trusted from the next frame
        } else {
            checker->run = 0;
            losses += checker->locked;
            checker->locked = false;
        }
        for (int c = 0; c < channels; ++c) {
            frame[c * wordBytes + m - 1] = kIdle;
            frame[c * wordBytes + m - 2] = kIdle;
        }
    }
    return losses;
}

void AlsaDop::extract(AlsaPcmConvert::Layout layout, const uint8_t* interleaved, long frames,
                      int frameBytes, int channel, uint8_t* stream)
{
    const int m = markerByte(layout);
    const uint8_t* word = interleaved + channel * AlsaPcmConvert::wordBytes(layout);
    for (long f = 0; f < frames; ++f, word += frameBytes) {
        *stream++ = word[m - 1];
        *stream++ = word[m - 2];
    }
}

void AlsaDop::insert(AlsaPcmConvert::Layout layout, const uint8_t* stream, long frames,
                     int frameBytes, int channel, int marker, uint8_t* interleaved)
{
    const int m = markerByte(layout);
    const int wordBytes = AlsaPcmConvert::wordBytes(layout);
    uint8_t* word = interleaved + channel * wordBytes;
    for (long f = 0; f < frames; ++f, word += frameBytes) {
        const uint8_t mark = kMarkers[(marker + f) & 1];
        for (int b = 0; b < wordBytes; ++b)
            word[b] = 0; // the low byte of S32_LE
        if (layout == AlsaPcmConvert::Layout::S24In4)
            word[3] = mark & 0x80 ? 0xff : 0x00; // 0xFA makes the 24-bit sample negative
        word[m] = mark;
        word[m - 1] = *stream++;
        word[m - 2] = *stream++;
    }
}

void AlsaDop::fillIdle(AlsaPcmConvert::Layout layout, long frames, int frameBytes, int channels,
                       int marker, uint8_t* interleaved)
{
    static const uint8_t idle[2] = {kIdle, kIdle};
    for (long f = 0; f < frames; ++f) {
        for (int c = 0; c < channels; ++c)
            insert(layout, idle, 1, frameBytes, c, int((marker + f) & 1),
                   interleaved + f * frameBytes);
    }
}
