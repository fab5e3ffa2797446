#include "audiofilewriterimpl.h"

AudioFileWriterImpl::AudioFileWriterImpl(const QString& fileName, int channelCount)
    : channelCount_(channelCount), file_(fileName)
{
}

AudioFileWriterImpl::~AudioFileWriterImpl() = default;

void AudioFileWriterImpl::close()
{
    file_.seek(0);
    writeHeader();
    file_.close();
}

bool AudioFileWriterImpl::open()
{
    return file_.open(QIODevice::WriteOnly | QIODevice::Truncate);
}

int AudioFileWriterImpl::channelCount() const
{
    return channelCount_;
}

int AudioFileWriterImpl::bitsPerSample() const
{
    return bitsPerSample_;
}

int AudioFileWriterImpl::sampleRate() const
{
    return sampleRate_;
}

void AudioFileWriterImpl::setChannelCount(int n)
{
    channelCount_ = n;
}

void AudioFileWriterImpl::setChannels(int n)
{
    setChannelCount(n);
}

void AudioFileWriterImpl::setBitsPerSample(int bits)
{
    bitsPerSample_ = bits;
}

void AudioFileWriterImpl::setSampleRate(int rate)
{
    sampleRate_ = rate;
}

bool AudioFileWriterImpl::writeAll(const QByteArray& bytes)
{
    return file_.write(bytes) == bytes.size();
}
