#ifndef TESSARO_CAPTUREGATE_H
#define TESSARO_CAPTUREGATE_H

#include <QtGlobal>
#include <atomic>

// The level decisions of hands-free capture, taken once per buffer switch (a frame: one block of
// every recorded input) from the highest level among the frame's inputs, on the scale of the
// meters (PCM full scale, DSD 50 % modulation, linear).
//
// Armed, a frame at or above the start level is the trigger. Recording, a frame below the
// silence level extends the silent run: once the run reaches the stop time the recording is to
// stop (once per run); once it reaches the gap time the frames are held (see CapturePath), and
// the first frame back above the silence level ends the gap. A level of 0 or a time of 0 leaves
// its decision out. A level below 0 is unknown (a sample type the meters do not read): it
// neither triggers nor counts as silence.
//
// Threads: configure on the GUI thread (atomics, so a change applies from the next frame);
// everything else on the driver thread only.
class CaptureGate
{
public:
    struct Limits
    {
        float startLevel = 0.0f;   // linear; 0: no trigger
        float silenceLevel = 0.0f; // linear
        qint64 stopAfter = 0;      // samples of silence; 0: never
        qint64 gapAfter = 0;       // samples of silence that make a gap; 0: never
        qint64 minTrack = 0;       // samples a track needs before a gap may end it
    };
    enum Decision
    {
        None = 0,
        Stop = 1,     // the silent run has reached the stop time
        GapEnded = 2, // the signal is back after a gap: the frames held lie inside it
    };

    void configure(const Limits& limits);
    Limits limits() const;

    bool triggers(float level) const;
    // A frame of the recording; returns the Decision bits.
    int recordFrame(float level, qint64 samples);
    // Whether the frames from the next one on are inside a gap.
    bool isInGap() const { return inGap; }
    // A new recording: no silence counted yet.
    void restart();

private:
    std::atomic<float> startLevel{0.0f};
    std::atomic<float> silenceLevel{0.0f};
    std::atomic<qint64> stopAfter{0};
    std::atomic<qint64> gapAfter{0};
    std::atomic<qint64> minTrack{0};
    // Driver thread only.
    qint64 silentRun = 0;
    bool inGap = false;
    bool stopSent = false;
};

#endif
