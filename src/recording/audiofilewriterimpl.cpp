#include "audiofilewriterimpl.h"

#include "headerbytes.h"

#include <QFileInfo>
#include <unistd.h>

AudioFileWriterImpl::AudioFileWriterImpl(const QString& fileName, int channelCount)
    : channelCount_(channelCount), file_(fileName)
{}

AudioFileWriterImpl::~AudioFileWriterImpl() = default;

void AudioFileWriterImpl::close()
{
    flush();
    if (!stream) {
        file_.seek(0);
        writeHeader();
    }
    file_.close();
}

// Unbuffered: the write buffer below already hands the file large pieces. Created exclusively:
// a name checked free a moment ago may have been taken since, by another recorder or any other
// program, and that file is not ours to truncate.
bool AudioFileWriterImpl::open()
{
    const QIODevice::OpenMode existing = replaceExisting ? QIODevice::Truncate : QIODevice::NewOnly;
    nameTaken_ = false;
    // Standard output is written where it stands, never reopened: reopening would truncate a
    // file the shell appends to, or start over a file that holds other output before ours.
    const bool standardOutput = file_.fileName() == QLatin1String("-");
    const bool opened =
        standardOutput ? file_.open(STDOUT_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered,
                                    QFileDevice::DontCloseHandle)
                       : file_.open(QIODevice::WriteOnly | existing | QIODevice::Unbuffered);
    if (!opened) {
        const QFileInfo info(file_.fileName());
        nameTaken_ = !replaceExisting && (info.exists() || info.isSymLink());
        return false;
    }
    stream = standardOutput || file_.isSequential();
    writeBuffer_.resize(WriteBufferSize);
    metadataBytes = metadata.isEnabled() ? metadataChunk() : QByteArray();
    return true;
}

void AudioFileWriterImpl::setMetadata(const RecordingMetadata& value)
{
    metadata = value;
}

QByteArray AudioFileWriterImpl::metadataChunk() const
{
    return {};
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

void AudioFileWriterImpl::setReplaceExisting(bool replace)
{
    replaceExisting = replace;
}

bool AudioFileWriterImpl::nameTaken() const
{
    return nameTaken_;
}

bool AudioFileWriterImpl::flush()
{
    if (failed)
        return false;
    const char* data = writeBuffer_.data();
    qint64 left = buffered;
    buffered = 0;
    while (left > 0) {
        // A short write is followed by one more, which then says why the file refused.
        const qint64 n = file_.write(data, left);
        if (n <= 0)
            return failWrite();
        data += n;
        left -= n;
    }
    return true;
}

bool AudioFileWriterImpl::hasFailed() const
{
    return failed;
}

bool AudioFileWriterImpl::isStream() const
{
    return stream;
}

void AudioFileWriterImpl::failOnFileError()
{
    if (!failed && file_.error() != QFileDevice::NoError)
        failWrite();
}

QString AudioFileWriterImpl::errorString() const
{
    return failed ? failure : file_.errorString();
}

qint64 AudioFileWriterImpl::size() const
{
    return file_.pos() + buffered;
}

bool AudioFileWriterImpl::writeAll(const HeaderBytes& header)
{
    return file_.write(header.data(), header.size()) == header.size();
}

bool AudioFileWriterImpl::writeAll(const QByteArray& bytes)
{
    return file_.write(bytes) == bytes.size();
}

bool AudioFileWriterImpl::accepts(const AudioBuffer& frame) const
{
    return frame.isComplete() && frame.channelCount() >= channelCount_;
}

char* AudioFileWriterImpl::reserve(qint64 wanted, int unitBytes, qint64* granted)
{
    if (WriteBufferSize - buffered < unitBytes && !flush())
        return nullptr;
    if (failed)
        return nullptr;
    *granted = unitBytes > 0 ? qMin(wanted, (WriteBufferSize - buffered) / unitBytes) : wanted;
    return writeBuffer_.data() + buffered;
}

void AudioFileWriterImpl::commit(qint64 bytes)
{
    buffered += bytes;
}

void AudioFileWriterImpl::keepDataBytes(qint64 bytes)
{
    dataBytes = bytes;
}

// What reached the disk of a refused write is cut back to whole units, so the header counts
// exactly the sample data that follow it and players never read a torn frame.
bool AudioFileWriterImpl::failWrite()
{
    failed = true;
    failure = file_.errorString();
    if (stream)
        return false; // what the reader got is gone from here; nothing can be cut or rewritten
    const qint64 onDisk = qMax<qint64>(0, file_.size() - headerSize());
    const qint64 unit = qMax<qint64>(1, unitBytes());
    const qint64 kept = onDisk - onDisk % unit;
    file_.resize(headerSize() + kept);
    keepDataBytes(kept);
    file_.seek(0);
    writeHeader();
    file_.seek(headerSize() + kept);
    return false;
}
