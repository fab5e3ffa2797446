#include "alsapcmconvert.h"

#include <cstring>

int AlsaPcmConvert::wordBytes(Layout layout)
{
    switch (layout) {
    case Layout::S16:
        return 2;
    case Layout::S24In3:
        return 3;
    case Layout::S24In4:
    case Layout::S32:
        break;
    }
    return 4;
}

snd_pcm_format_t AlsaPcmConvert::format(Layout layout)
{
    switch (layout) {
    case Layout::S16:
        return SND_PCM_FORMAT_S16_LE;
    case Layout::S24In3:
        return SND_PCM_FORMAT_S24_3LE;
    case Layout::S24In4:
        return SND_PCM_FORMAT_S24_LE;
    case Layout::S32:
        break;
    }
    return SND_PCM_FORMAT_S32_LE;
}

// Every format here is little-endian, so its sample bytes are the top bytes of the driver's
// little-endian word, in the same order: S16 bytes 2..3, both 24-bit forms bytes 1..3.
void AlsaPcmConvert::extract(Layout layout, const uint8_t* interleaved, long frames, int frameBytes,
                             int channel, uint8_t* words)
{
    const int bytes = layout == Layout::S24In4 ? 3 : wordBytes(layout);
    const int low = 4 - bytes;
    const uint8_t* in = interleaved + channel * wordBytes(layout);
    for (long f = 0; f < frames; ++f, in += frameBytes, words += 4) {
        memset(words, 0, size_t(low));
        memcpy(words + low, in, size_t(bytes));
    }
}

void AlsaPcmConvert::insert(Layout layout, const uint8_t* words, long frames, int frameBytes,
                            int channel, uint8_t* interleaved)
{
    const int bytes = layout == Layout::S24In4 ? 3 : wordBytes(layout);
    const int low = 4 - bytes;
    uint8_t* out = interleaved + channel * wordBytes(layout);
    for (long f = 0; f < frames; ++f, out += frameBytes, words += 4) {
        memcpy(out, words + low, size_t(bytes));
        if (layout == Layout::S24In4)
            out[3] = (words[3] & 0x80) ? 0xff : 0x00;
    }
}
