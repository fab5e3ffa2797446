#include "writerpart.h"

#include "nextnumberedname.h"

qint64 WriterPart::bytesPerSecondOf(int type, int rate, int channels, int bits)
{
    const qint64 perSecond =
        type == 0 ? qint64(rate) * channels * bits / 8 : qint64(rate) * channels / 8;
    return perSecond > 0 ? perSecond : (1 << 20);
}

void WriterPart::begin()
{
    bytesPerSecond = bytesPerSecondOf(params.type, params.rate, params.channels, params.bits);
}

// The data reach the file a quarter of a second of audio later at the most; the header follows
// once a second, after the data it counts.
bool WriterPart::write(const AudioBuffer& frame)
{
    if (!file->writeBuffer(frame))
        return false;
    hasFrames = true;
    channelBytes += frame.size();
    bytesSinceFlush += frame.totalBytes();
    bytesSinceHeader += frame.totalBytes();
    if (bytesSinceHeader >= bytesPerSecond) {
        file->updateHeader();
        bytesSinceHeader = 0;
        bytesSinceFlush = 0;
    } else if (bytesSinceFlush >= bytesPerSecond / 4) {
        file->flush();
        bytesSinceFlush = 0;
    }
    return true;
}

void WriterPart::flushPending()
{
    if (bytesSinceFlush > 0 && !failed) {
        file->flush();
        bytesSinceFlush = 0;
    }
}

bool WriterPart::needsSplit(const AudioBuffer& frame) const
{
    return params.maxSize > 0 && hasFrames && file->size() + frame.totalBytes() >= params.maxSize;
}

WriterPart::Params WriterPart::nextPart() const
{
    return following(nextNumberedName(params.name, QStringLiteral("_part")),
                     QStringLiteral("_part"));
}

WriterPart::Params WriterPart::following(const QString& name, const QString& marker) const
{
    Params next = params;
    next.name = name;
    next.marker = marker;
    next.replaceExisting = false;
    const qint64 samples =
        params.type == 0 ? channelBytes / qMax(1, params.bits / 8) : channelBytes * 8;
    next.metadata = params.metadata.advancedBy(samples);
    return next;
}

void WriterPart::continueAs(const Params& next)
{
    params = next;
    channelBytes = 0;
    hasFrames = false;
}
