#ifndef TESSARO_WRITERPART_H
#define TESSARO_WRITERPART_H

#include "audiofile.h"
#include "recordingmetadata.h"

#include <QString>
#include <memory>

// One open file or part as the writer thread sees it: what it was opened with, its format
// writer, and the pace at which buffered audio and the header follow the stream, so a crash
// loses at most a quarter of a second and the header never counts bytes that are not on disk.
//
// Threads: the writer thread only.
struct WriterPart
{
    // The parameters of one file, copied by the writer thread when the file begins.
    struct Params
    {
        QString name;
        int type = 0;
        int channels = 0;
        int bits = 0;
        int rate = 0;
        qint64 maxSize = 0;
        bool replaceExisting = false;
        QString marker; // the numbering that leads past a name taken meanwhile
        RecordingMetadata metadata;
    };

    // Before the first frame: the pace follows the stream's bytes per second.
    void begin();
    // The frame goes into the format writer's buffer; false when the writer refused it.
    bool write(const AudioBuffer& frame);
    // After a pause in the stream whatever is buffered goes to the file.
    void flushPending();
    bool needsSplit(const AudioBuffer& frame) const;
    bool holdsFrames() const { return hasFrames; }
    // The next part of a file that grew to its split size: "take_part0002.wav" after "take.wav".
    Params nextPart() const;
    // The file that follows this one under name: its first sample follows the last one here.
    Params following(const QString& name, const QString& marker) const;
    // This part goes on as that file.
    void continueAs(const Params& next);
    static qint64 bytesPerSecondOf(int type, int rate, int channels, int bits);

    Params params;
    std::unique_ptr<AudioFile> file;
    bool failed = false; // its failure has been reported

private:
    bool hasFrames = false;      // a part never splits before it holds a frame
    qint64 bytesSinceFlush = 0;  // sample bytes buffered since the file last received them
    qint64 bytesSinceHeader = 0; // sample bytes written since the header was last rewritten
    qint64 bytesPerSecond = 1 << 20;
    qint64 channelBytes = 0; // bytes per channel written into this part
};

#endif
