#include "audiofile.h"

#include "dfffilewriter.h"
#include "dsffilewriter.h"
#include "wavfilewriter.h"

AudioFile::AudioFile(const QString& fileName, int type, int channelCount) : fileType(type)
{
    switch (type) {
    case 0:
        writer = new WavFileWriter(fileName, channelCount);
        break;
    case 1:
        writer = new DffFileWriter(fileName, channelCount);
        break;
    case 2:
        writer = new DsfFileWriter(fileName, channelCount);
        break;
    default:
        break;
    }
}

AudioFile::~AudioFile()
{
    delete writer;
}

QFileDevice::FileError AudioFile::error() const
{
    return writer ? writer->file().error() : QFileDevice::UnspecifiedError;
}

QString AudioFile::errorString() const
{
    return writer ? writer->errorString() : QStringLiteral("No Implementation Set");
}

void AudioFile::setFileName(const QString& name)
{
    if (writer)
        writer->file().setFileName(name);
}

QString AudioFile::fileName() const
{
    return writer ? writer->file().fileName() : QString();
}

qint64 AudioFile::size() const
{
    return writer ? writer->size() : 0;
}

int AudioFile::type() const
{
    return fileType;
}

int AudioFile::channelCount() const
{
    return writer ? writer->channelCount() : 0;
}

int AudioFile::bitsPerSample() const
{
    return writer ? writer->bitsPerSample() : 0;
}

int AudioFile::sampleRate() const
{
    return writer ? writer->sampleRate() : 0;
}

void AudioFile::setChannelCount(int n)
{
    if (writer)
        writer->setChannelCount(n);
}

void AudioFile::setChannels(int n)
{
    setChannelCount(n);
}

void AudioFile::setBitsPerSample(int bits)
{
    if (writer)
        writer->setBitsPerSample(bits);
}

void AudioFile::setSampleRate(int rate)
{
    if (writer)
        writer->setSampleRate(rate);
}

void AudioFile::setMetadata(const RecordingMetadata& metadata)
{
    if (writer)
        writer->setMetadata(metadata);
}

int AudioFile::headerSize() const
{
    return writer ? writer->headerSize() : 0;
}

bool AudioFile::open()
{
    if (!writer || !writer->open())
        return false;
    writer->writeHeader();
    writer->failOnFileError();
    return true;
}

void AudioFile::setReplaceExisting(bool replace)
{
    if (writer)
        writer->setReplaceExisting(replace);
}

bool AudioFile::nameTaken() const
{
    return writer && writer->nameTaken();
}

void AudioFile::updateHeader()
{
    if (!writer || !writer->flush() || writer->isStream())
        return;
    QFile& file = writer->file();
    const qint64 position = file.pos();
    file.seek(0);
    writer->writeHeader();
    file.seek(position);
    file.flush();
}

bool AudioFile::writeBuffer(const AudioBuffer& frame)
{
    return writer ? writer->writeBuffer(frame) : false;
}

void AudioFile::close()
{
    if (writer)
        writer->close();
}

bool AudioFile::flush()
{
    return writer && writer->flush();
}

bool AudioFile::hasFailed() const
{
    return writer && writer->hasFailed();
}

bool AudioFile::isStream() const
{
    return writer && writer->isStream();
}
