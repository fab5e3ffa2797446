#include "framering.h"

void FrameRing::setCapacity(int capacity)
{
    frames.assign(size_t(qMax(0, capacity)), Frame());
    clear();
}

void FrameRing::beginFrame(long samples)
{
    const int tail = (head + count) % capacity();
    frames[size_t(tail)] = Frame();
    frames[size_t(tail)].samples = samples;
    ++count;
    ++begun;
}

bool FrameRing::addBlock(const Block& block)
{
    if (isEmpty())
        return false;
    Frame& frame = frames[size_t((head + count - 1) % capacity())];
    if (frame.count == kInputs)
        return false;
    frame.blocks[frame.count++] = block;
    return true;
}

const FrameRing::Frame& FrameRing::newest() const
{
    return frames[size_t((head + count - 1) % capacity())];
}

void FrameRing::dropOldest()
{
    if (isEmpty())
        return;
    head = (head + 1) % capacity();
    --count;
}

void FrameRing::clear()
{
    head = 0;
    count = 0;
}
