#include "capturegate.h"

void CaptureGate::configure(const Limits& limits)
{
    startLevel = limits.startLevel;
    silenceLevel = limits.silenceLevel;
    stopAfter = limits.stopAfter;
    gapAfter = limits.gapAfter;
    minTrack = limits.minTrack;
}

CaptureGate::Limits CaptureGate::limits() const
{
    return Limits{startLevel, silenceLevel, stopAfter, gapAfter, minTrack};
}

bool CaptureGate::triggers(float level) const
{
    const float start = startLevel.load(std::memory_order_relaxed);
    return start > 0.0f && level >= start;
}

int CaptureGate::recordFrame(float level, qint64 samples)
{
    if (level < 0.0f || level >= silenceLevel.load(std::memory_order_relaxed)) {
        const bool gapEnded = inGap;
        silentRun = 0;
        inGap = false;
        stopSent = false;
        return gapEnded ? GapEnded : None;
    }
    silentRun += samples;
    const qint64 gap = gapAfter.load(std::memory_order_relaxed);
    const qint64 stop = stopAfter.load(std::memory_order_relaxed);
    inGap = inGap || (gap > 0 && silentRun >= gap);
    if (stop > 0 && silentRun >= stop && !stopSent) {
        stopSent = true;
        return Stop;
    }
    return None;
}

void CaptureGate::restart()
{
    silentRun = 0;
    inGap = false;
    stopSent = false;
}
