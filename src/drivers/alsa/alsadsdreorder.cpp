#include "alsadsdreorder.h"

namespace {

bool isLittleEndian(AlsaDsdReorder::Layout layout)
{
    return layout == AlsaDsdReorder::Layout::U16LE || layout == AlsaDsdReorder::Layout::U32LE;
}

} // namespace

int AlsaDsdReorder::wordBytes(Layout layout)
{
    switch (layout) {
    case Layout::U8:
        return 1;
    case Layout::U16LE:
    case Layout::U16BE:
        return 2;
    case Layout::U32LE:
    case Layout::U32BE:
        return 4;
    }
    return 1;
}

void AlsaDsdReorder::extract(Layout layout, const uint8_t* interleaved, long frames, int frameBytes,
                             int channel, uint8_t* stream)
{
    const int n = wordBytes(layout);
    const uint8_t* word = interleaved + channel * n;
    if (isLittleEndian(layout)) {
        // The oldest byte is the most significant one, which little-endian stores last.
        for (long f = 0; f < frames; ++f, word += frameBytes) {
            for (int b = 0; b < n; ++b)
                *stream++ = word[n - 1 - b];
        }
    } else {
        for (long f = 0; f < frames; ++f, word += frameBytes) {
            for (int b = 0; b < n; ++b)
                *stream++ = word[b];
        }
    }
}

void AlsaDsdReorder::insert(Layout layout, const uint8_t* stream, long frames, int frameBytes,
                            int channel, uint8_t* interleaved)
{
    const int n = wordBytes(layout);
    uint8_t* word = interleaved + channel * n;
    if (isLittleEndian(layout)) {
        for (long f = 0; f < frames; ++f, word += frameBytes) {
            for (int b = 0; b < n; ++b)
                word[n - 1 - b] = *stream++;
        }
    } else {
        for (long f = 0; f < frames; ++f, word += frameBytes) {
            for (int b = 0; b < n; ++b)
                word[b] = *stream++;
        }
    }
}
