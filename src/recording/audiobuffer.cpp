#include "audiobuffer.h"

AudioBuffer::AudioBuffer() = default;

AudioBuffer::AudioBuffer(int channelCount, int size)
    : channelCount_(qBound(0, channelCount, MaxChannels)), size_(size)
{}

bool AudioBuffer::hasChannel(int i) const
{
    return channelData(i) != nullptr;
}

int AudioBuffer::channelCount() const
{
    return channelCount_;
}

qint64 AudioBuffer::size() const
{
    return size_;
}

qint64 AudioBuffer::totalBytes() const
{
    return channelCount() * size_;
}

uchar* AudioBuffer::channelData(int i) const
{
    Q_ASSERT(i >= 0 && i < channelCount_);
    return slots_[size_t(i)];
}

bool AudioBuffer::isComplete() const
{
    if (channelCount_ == 0)
        return false;
    for (int i = 0; i < channelCount_; ++i) {
        if (!slots_[size_t(i)])
            return false;
    }
    return true;
}

void AudioBuffer::setChannelData(int i, uchar* data)
{
    Q_ASSERT(i >= 0 && i < channelCount_);
    slots_[size_t(i)] = data;
}

void AudioBuffer::setSize(qint64 size)
{
    size_ = size;
}
