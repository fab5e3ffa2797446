#ifndef TESSARO_FRAMEQUEUE_H
#define TESSARO_FRAMEQUEUE_H

#include "audiobuffer.h"

#include <vector>

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

private:
    std::vector<AudioBuffer> ring;
    int head = 0;
    int count = 0;
};

#endif
