#include "audiobuffer.h"

AudioBuffer::AudioBuffer() = default;

AudioBuffer::AudioBuffer(int channelCount, int size)
    : slots_(channelCount, nullptr), size_(size)
{
}

bool AudioBuffer::hasChannel(int i) const
{
    return slots_.at(i) != nullptr;
}

bool AudioBuffer::lacksChannel(int i) const
{
    return !hasChannel(i);
}

int AudioBuffer::channelCount() const
{
    return slots_.size();
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
    return slots_.at(i);
}

bool AudioBuffer::isComplete() const
{
    if (slots_.isEmpty())
        return false;
    for (uchar* slot : slots_) {
        if (!slot)
            return false;
    }
    return true;
}

void AudioBuffer::setChannelData(int i, uchar* data)
{
    slots_[i] = data;
}

void AudioBuffer::setSize(qint64 size)
{
    size_ = size;
}
