#ifndef TESSARO_AUDIORATES_H
#define TESSARO_AUDIORATES_H

// The rates every layer agrees on: what makes a rate DSD, and the rates a device is probed for.
namespace AudioRates {

// DSD 1x: 64 times 44.1 kHz. Every DSD rate is a multiple of it, every PCM rate lies below it.
constexpr double kDsdBase = 2822400.0;

constexpr double kStandard[] = {44100,  48000,  88200,   96000,   176400,  192000,
                                352800, 384000, 2822400, 5644800, 11289600};
constexpr int kStandardCount = int(sizeof(kStandard) / sizeof(kStandard[0]));

constexpr bool isDsd(double rate)
{
    return rate > 0 && rate / kDsdBase >= 1;
}

} // namespace AudioRates

#endif
