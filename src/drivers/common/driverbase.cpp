#include "driverbase.h"

#include "asiotext.h"
#include "audiorates.h"

#include <cstdio>
#include <cstring>

namespace {

const long kDriverVersion = 1;

ASIOSamples splitValue(uint64_t value)
{
    return ASIOSamples{uint32_t(value >> 32), uint32_t(value & 0xffffffffu)};
}

// Asks the host whether it takes bufferSwitchTimeInfo, as a driver does at buffer creation.
bool hostTakesTimeInfo(const ASIOCallbacks& callbacks)
{
    return callbacks.asioMessage && callbacks.bufferSwitchTimeInfo &&
           callbacks.asioMessage(kAsioSelectorSupported, kAsioSupportsTimeInfo, nullptr, nullptr) ==
               1 &&
           callbacks.asioMessage(kAsioSupportsTimeInfo, 0, nullptr, nullptr) == 1;
}

} // namespace

DriverBase::~DriverBase()
{
    releaseStream();
}

// Released from inside a buffer switch, the stream is told to stop and ends on its own thread
// as soon as the switch returns, touching nothing of the driver's.
void DriverBase::releaseStream()
{
    if (m_stream)
        m_stream->release();
    m_stream.reset();
}

unsigned long DriverBase::AddRef()
{
    return ++m_refs;
}

unsigned long DriverBase::Release()
{
    const unsigned long left = --m_refs;
    if (left == 0)
        delete this;
    return left;
}

void DriverBase::getDriverName(char* name)
{
    if (name)
        copyAsioText(name, 32, driverName().constData());
}

long DriverBase::getDriverVersion()
{
    return kDriverVersion;
}

void DriverBase::getErrorMessage(char* string)
{
    if (string)
        copyAsioText(string, 124, m_errorMessage);
}

void DriverBase::setError(const QString& text)
{
    copyAsioText(m_errorMessage, sizeof m_errorMessage, text.toUtf8().constData());
}

QString DriverBase::missingFormatText(ASIOIoFormatType) const
{
    return QString();
}

QString DriverBase::refusedRateText(double) const
{
    return QString();
}

QByteArray DriverBase::channelNote(bool) const
{
    return QByteArray();
}

bool DriverBase::isRunning() const
{
    return m_stream && m_stream->state() == HalfBufferStream::State::Running;
}

double DriverBase::firstAcceptedRate() const
{
    for (double r : AudioRates::kStandard) {
        if (acceptsRate(r))
            return r;
    }
    return 0.0;
}

ASIOError DriverBase::stop()
{
    if (!m_stream)
        return ASE_OK;
    return m_stream->stop();
}

ASIOError DriverBase::getChannels(long* numInputChannels, long* numOutputChannels)
{
    if (!numInputChannels || !numOutputChannels)
        return ASE_InvalidParameter;
    if (!m_initialized)
        return ASE_NotPresent;
    *numInputChannels = inputCount();
    *numOutputChannels = outputCount();
    return ASE_OK;
}

ASIOError DriverBase::getLatencies(long* inputLatency, long* outputLatency)
{
    if (!inputLatency || !outputLatency)
        return ASE_InvalidParameter;
    long size = 0, unused = 0;
    if (m_stream)
        size = m_stream->bufferSize();
    else if (getBufferSize(&unused, &unused, &size, &unused) != ASE_OK)
        return ASE_NotPresent;
    // One buffer waits for the input; the output goes out behind the two halves played before.
    *inputLatency = size;
    *outputLatency = 2 * size;
    return ASE_OK;
}

ASIOError DriverBase::getSampleRate(ASIOSampleRate* sampleRate)
{
    if (!sampleRate)
        return ASE_InvalidParameter;
    if (!m_initialized)
        return ASE_NotPresent;
    *sampleRate = m_rate;
    return ASE_OK;
}

ASIOError DriverBase::setSampleRate(ASIOSampleRate sampleRate)
{
    if (!m_initialized)
        return ASE_NotPresent;
    if (sampleRate == m_rate)
        return ASE_OK;
    if (isRunning())
        return ASE_InvalidMode;
    if (!acceptsRate(sampleRate)) {
        const QString why = refusedRateText(sampleRate);
        if (!why.isEmpty())
            setError(why);
        return ASE_NoClock;
    }
    m_rate = sampleRate;
    return ASE_OK;
}

ASIOError DriverBase::getClockSources(ASIOClockSource* clocks, long* numSources)
{
    if (!clocks || !numSources || *numSources < 1)
        return ASE_InvalidParameter;
    memset(clocks, 0, sizeof *clocks);
    clocks->associatedChannel = -1;
    clocks->associatedGroup = -1;
    clocks->isCurrentSource = ASIOTrue;
    copyAsioText(clocks->name, sizeof clocks->name, "Internal");
    *numSources = 1;
    return ASE_OK;
}

ASIOError DriverBase::setClockSource(long reference)
{
    return reference == 0 ? ASE_OK : ASE_InvalidParameter;
}

ASIOError DriverBase::getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp)
{
    if (!sPos || !tStamp)
        return ASE_InvalidParameter;
    if (!isRunning())
        return ASE_SPNotAdvancing;
    uint64_t samples = 0, timeNs = 0;
    m_stream->position(&samples, &timeNs);
    *sPos = splitValue(samples);
    *tStamp = splitValue(timeNs);
    return ASE_OK;
}

ASIOError DriverBase::getChannelInfo(ASIOChannelInfo* info)
{
    if (!info)
        return ASE_InvalidParameter;
    if (!m_initialized)
        return ASE_NotPresent;
    const long count = info->isInput ? inputCount() : outputCount();
    if (info->channel < 0 || info->channel >= count)
        return ASE_InvalidParameter;
    info->isActive = m_stream && m_stream->hasChannel(info->channel, info->isInput == ASIOTrue)
                         ? ASIOTrue
                         : ASIOFalse;
    info->channelGroup = 0;
    info->type = isDsd() ? ASIOSTDSDInt8MSB1 : ASIOSTInt32LSB;
    const QByteArray note = channelNote(info->isInput == ASIOTrue);
    snprintf(info->name, sizeof info->name, note.isEmpty() ? "%s %ld" : "%s %ld (%s)",
             info->isInput ? "Input" : "Output", info->channel + 1, note.constData());
    return ASE_OK;
}

ASIOError DriverBase::createBuffers(ASIOBufferInfo* bufferInfos, long numChannels, long bufferSize,
                                    ASIOCallbacks* callbacks)
{
    if (!m_initialized)
        return ASE_NotPresent;
    if (!bufferInfos || !callbacks || numChannels < 1 || numChannels > inputCount() + outputCount())
        return ASE_InvalidParameter;
    long minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
    const ASIOError sizes = getBufferSize(&minSize, &maxSize, &preferred, &granularity);
    if (sizes != ASE_OK)
        return sizes;
    if (bufferSize < minSize || bufferSize > maxSize || !isPowerOfTwo(bufferSize))
        return ASE_InvalidMode;
    for (long i = 0; i < numChannels; ++i) {
        const long count = bufferInfos[i].isInput ? inputCount() : outputCount();
        if (bufferInfos[i].channelNum < 0 || bufferInfos[i].channelNum >= count)
            return ASE_InvalidParameter;
        for (long j = 0; j < i; ++j) {
            if (bufferInfos[j].isInput == bufferInfos[i].isInput &&
                bufferInfos[j].channelNum == bufferInfos[i].channelNum)
                return ASE_InvalidParameter;
        }
    }
    const ASIOError disposed = disposeBuffers();
    if (disposed != ASE_OK)
        return disposed;
    m_stream =
        makeStream(bufferInfos, numChannels, bufferSize, *callbacks, hostTakesTimeInfo(*callbacks));
    return ASE_OK;
}

ASIOError DriverBase::disposeBuffers()
{
    if (!m_stream)
        return ASE_OK;
    const ASIOError stopped = m_stream->stop();
    if (stopped != ASE_OK)
        return stopped;
    m_stream.reset();
    return ASE_OK;
}

ASIOError DriverBase::controlPanel()
{
    return ASE_NotPresent;
}

ASIOError DriverBase::setIoFormat(ASIOIoFormatType type)
{
    if (type != kASIOPCMFormat && type != kASIODSDFormat)
        return ASE_InvalidParameter;
    if (!m_initialized)
        return ASE_NotPresent;
    if (type == m_format)
        return ASE_SUCCESS;
    if (!offersFormat(type)) {
        setError(missingFormatText(type));
        return ASE_NotPresent;
    }
    if (m_stream)
        return ASE_InvalidMode;
    m_format = type;
    if (!acceptsRate(m_rate) && firstAcceptedRate() > 0)
        m_rate = firstAcceptedRate();
    return ASE_SUCCESS;
}

ASIOError DriverBase::future(long selector, void* opt)
{
    auto* format = static_cast<ASIOIoFormat*>(opt);
    switch (selector) {
    case kAsioSetIoFormat:
        if (!format)
            return ASE_InvalidParameter;
        return setIoFormat(format->FormatType);
    case kAsioGetIoFormat:
        if (!format)
            return ASE_InvalidParameter;
        format->FormatType = m_format;
        return ASE_SUCCESS;
    case kAsioCanDoIoFormat:
        if (!format)
            return ASE_InvalidParameter;
        if (!m_initialized)
            return ASE_NotPresent;
        if (format->FormatType != kASIOPCMFormat && format->FormatType != kASIODSDFormat)
            return ASE_NotPresent;
        if (!offersFormat(format->FormatType))
            return ASE_NotPresent;
        return ASE_SUCCESS;
    default:
        return ASE_NotPresent;
    }
}

ASIOError DriverBase::outputReady()
{
    return ASE_OK;
}
