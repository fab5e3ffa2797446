#ifndef TESSARO_RECORDINGMETADATA_H
#define TESSARO_RECORDINGMETADATA_H

#include <QByteArray>
#include <QDateTime>
#include <QString>

// When and with what a recording was made, and its bytes in the place each format keeps
// them: a Broadcast WAVE "bext" chunk, an ID3v2.4 tag for DSF, a DSDIFF "COMT" chunk.
//
// One value describes one file: a part of a split recording carries the recording's start and
// the samples per channel recorded before the part's first one, so every part names the time
// of its own first sample. A default-constructed value is disabled and gives no bytes at all.
//
// Threads: a value type; copied from the GUI thread to the writer thread under the writer's
// mutex.
class RecordingMetadata
{
public:
    static constexpr const char* Software = "Tessaro Recorder 1.3";

    RecordingMetadata() = default;
    RecordingMetadata(const QDateTime& start, const QString& device, const QString& reference);
    // The present moment, and a reference unique to this recording.
    static RecordingMetadata startingNow(const QString& device);

    bool isEnabled() const;
    // The same recording, samplesPerChannel further on (the next part's first sample).
    RecordingMetadata advancedBy(qint64 samplesPerChannel) const;
    QDateTime firstSample(int rate) const;
    // Samples since the midnight before the first sample, as "bext" counts them.
    qint64 samplesSinceMidnight(int rate) const;

    // Chunk headers included, each of even length; empty when disabled.
    QByteArray bextChunk(int rate, int channels, int bits) const;
    QByteArray id3v2Tag(int rate) const;
    QByteArray comtChunk(int rate) const;

private:
    bool enabled = false;
    QDateTime start;
    QString device_;
    QString reference;
    qint64 samplesBefore = 0;
};

#endif
