#include "framequeue.h"

#include "diagnosticsink.h"
#include "partitionmanager.h"

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

void FrameQueue::addBlock(int channel, uchar* data, qint64 bytes, int channels,
                          PartitionManager& pool)
{
    if (channel == 0) {
        AudioBuffer frame(channels, 0);
        frame.setSize(bytes);
        frame.setChannelData(0, data);
        append(frame);
        return;
    }
    if (isEmpty() || isTrackMark(last())) {
        DiagnosticSink::line("[!] (ch%d) comes, expected ch0", channel + 1);
        pool.release(data);
        return;
    }
    AudioBuffer& frame = last();
    if (frame.hasChannel(channel)) {
        DiagnosticSink::line("[!] channel %d data wil be overwritten", channel + 1);
        pool.release(frame.channelData(channel));
    }
    if (bytes != frame.size()) {
        frame.setSize(qMin(bytes, frame.size()));
        DiagnosticSink::line("[!] #(ch%d)data does not match, taking the smaller one (%d)",
                             channel + 1, int(frame.size()));
    }
    frame.setChannelData(channel, data);
}

void FrameQueue::release(const AudioBuffer& frame, PartitionManager& pool)
{
    for (int c = 0; c < frame.channelCount(); ++c)
        pool.release(frame.channelData(c));
}

void FrameQueue::releaseAll(PartitionManager& pool)
{
    for (int i = 0; i < size(); ++i)
        release(at(i), pool);
    clear();
}
