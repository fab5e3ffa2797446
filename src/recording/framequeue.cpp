#include "framequeue.h"

void FrameQueue::reserve(int capacity)
{
    if (capacity <= int(ring.size()))
        return;
    std::vector<AudioBuffer> grown(static_cast<size_t>(capacity));
    for (int i = 0; i < count; ++i)
        grown[size_t(i)] = at(i);
    ring.swap(grown);
    head = 0;
}

int FrameQueue::capacity() const
{
    return int(ring.size());
}

bool FrameQueue::isEmpty() const
{
    return count == 0;
}

int FrameQueue::size() const
{
    return count;
}

AudioBuffer& FrameQueue::first()
{
    return at(0);
}

AudioBuffer& FrameQueue::last()
{
    return at(count - 1);
}

AudioBuffer& FrameQueue::at(int i)
{
    return ring[size_t((head + i) % int(ring.size()))];
}

void FrameQueue::append(const AudioBuffer& frame)
{
    if (count == int(ring.size()))
        reserve(qMax(16, 2 * count));
    ++count;
    last() = frame;
}

void FrameQueue::removeFirst()
{
    head = (head + 1) % int(ring.size());
    --count;
}

void FrameQueue::clear()
{
    head = 0;
    count = 0;
}
