#ifndef TESSARO_FRAMEQUEUE_H
#define TESSARO_FRAMEQUEUE_H

#include "audiobuffer.h"

#include <QtGlobal>

#include <vector>

class PartitionManager;

// The writer's queue of frames, oldest first: a ring over storage sized in advance, so that
// adding and removing frames while recording never allocates. It grows (keeping its order) only
// when more frames arrive than it was sized for.
//
// Threads: none of its own; the writer guards it with its lock.
class FrameQueue
{
public:
    // Makes room for at least capacity frames; existing frames stay in order.
    void reserve(int capacity);
    int capacity() const;
    bool isEmpty() const;
    int size() const;
    AudioBuffer& first();
    AudioBuffer& last();
    AudioBuffer& at(int i);
    void append(const AudioBuffer& frame);
    void removeFirst();
    void clear();

    // A channel block as the driver handed it over: channel 0 begins a frame of `channels`, the
    // others complete the last one. A block no frame awaits, and one a repeated channel
    // replaces, go back to the pool; a block of another length shortens the frame to the
    // shorter one. Each such fault is reported.
    void addBlock(int channel, uchar* data, qint64 bytes, int channels, PartitionManager& pool);
    // The frames after a mark begin the next track.
    void appendTrackMark() { append(AudioBuffer()); }
    static bool isTrackMark(const AudioBuffer& frame) { return frame.channelCount() == 0; }
    // A frame's blocks go back to the pool; releaseAll does it for every frame and empties
    // the queue.
    static void release(const AudioBuffer& frame, PartitionManager& pool);
    void releaseAll(PartitionManager& pool);

private:
    std::vector<AudioBuffer> ring;
    int head = 0;
    int count = 0;
};

#endif
