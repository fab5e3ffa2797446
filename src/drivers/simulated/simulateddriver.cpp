#include "simulateddriver.h"

#include "asiotext.h"
#include "audiorates.h"
#include "builtindrivers.h"
#include "diagnosticsink.h"
#include "simulatedstream.h"

#include <QDir>
#include <QFileInfo>
#include <cmath>
#include <cstdio>
#include <cstring>

std::atomic<bool> SimulatedDriver::s_unplugged{false};
std::atomic<double> SimulatedDriver::s_toneGain{1.0};
std::atomic<bool> SimulatedDriver::s_burstRequests[SimulatedDriver::kInputChannels];

namespace {

const long kDriverVersion = 1;
const char* const kUnplugFileVariable = "TESSARO_SIMULATED_UNPLUG_FILE";
const char* const kToneVariable = "TESSARO_SIMULATED_TONE_DB";

std::atomic<SimulatedDriver::Signal>& currentSignal()
{
    static std::atomic<SimulatedDriver::Signal> signal{SimulatedDriver::Signal::Tone};
    return signal;
}

bool isStandardRate(double rate)
{
    for (double r : AudioRates::kStandard) {
        if (r == rate)
            return true;
    }
    return false;
}

bool isPowerOfTwo(long v)
{
    return v > 0 && (v & (v - 1)) == 0;
}

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

// A level the user set for the program; a value that is no number leaves the default tone.
void applyToneLevelFromEnvironment()
{
    if (!qEnvironmentVariableIsSet(kToneVariable))
        return;
    bool ok = false;
    const double db = qEnvironmentVariable(kToneVariable).toDouble(&ok);
    if (ok)
        SimulatedDriver::setToneLevelDb(db);
    else
        DiagnosticSink::line("%s: %s=\"%s\" is not a level in dB; the tone stays at %.1f dB",
                             SimulatedDriver::kDescription, kToneVariable,
                             qPrintable(qEnvironmentVariable(kToneVariable)),
                             SimulatedDriver::kToneLevelDb);
}

void registerSimulatedDriver()
{
    applyToneLevelFromEnvironment();
    BuiltinDrivers::addProvider(QStringLiteral("simulated"), []() {
        BuiltinDriverClass c;
        c.keyName = QString::fromLatin1(SimulatedDriver::kDescription);
        c.clsid = QString::fromLatin1(SimulatedDriver::kClsid);
        c.description = c.keyName;
        c.create = []() -> IASIO* { return new SimulatedDriver; };
        return QList<BuiltinDriverClass>{c};
    });
}

void SimulatedDriver::setSignal(Signal signal)
{
    currentSignal() = signal;
}

SimulatedDriver::Signal SimulatedDriver::signal()
{
    return currentSignal();
}

void SimulatedDriver::setUnplugged(bool unplugged)
{
    s_unplugged = unplugged;
}

bool SimulatedDriver::isUnplugged()
{
    return s_unplugged || QFileInfo::exists(controlFilePath());
}

QString SimulatedDriver::controlFilePath()
{
    if (qEnvironmentVariableIsSet(kUnplugFileVariable))
        return qEnvironmentVariable(kUnplugFileVariable);
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    const QString dir = runtime.isEmpty() ? QStringLiteral("/tmp") : runtime;
    return QDir(dir).filePath(QStringLiteral("tessaro-simulated-unplugged"));
}

void SimulatedDriver::setToneLevelDb(double db)
{
    s_toneGain = std::pow(10.0, (db - kToneLevelDb) / 20.0);
}

double SimulatedDriver::toneGain()
{
    return s_toneGain;
}

void SimulatedDriver::addFullScaleBurst(long channel)
{
    if (channel >= 0 && channel < kInputChannels)
        s_burstRequests[channel] = true;
}

bool SimulatedDriver::takeBurstRequest(long channel)
{
    return channel >= 0 && channel < kInputChannels && s_burstRequests[channel].exchange(false);
}

long SimulatedDriver::burstLength(double rate)
{
    const long samples = long(std::ceil(rate * kBurstMs / 1000.0));
    return (samples + 7) / 8 * 8;
}

SimulatedDriver::SimulatedDriver() = default;

SimulatedDriver::~SimulatedDriver()
{
    if (m_stream)
        m_stream->release();
}

unsigned long SimulatedDriver::AddRef()
{
    return ++m_refs;
}

unsigned long SimulatedDriver::Release()
{
    const unsigned long left = --m_refs;
    if (left == 0)
        delete this;
    return left;
}

ASIOBool SimulatedDriver::init(void*)
{
    if (isUnplugged()) {
        copyAsioText(m_errorMessage, sizeof m_errorMessage, "device unplugged");
        m_initialized = false;
        return ASIOFalse;
    }
    m_errorMessage[0] = '\0';
    m_initialized = true;
    return ASIOTrue;
}

void SimulatedDriver::getDriverName(char* name)
{
    if (name)
        copyAsioText(name, 32, kDescription);
}

long SimulatedDriver::getDriverVersion()
{
    return kDriverVersion;
}

void SimulatedDriver::getErrorMessage(char* string)
{
    if (string)
        copyAsioText(string, 124, m_errorMessage);
}

ASIOError SimulatedDriver::start()
{
    if (!m_initialized)
        return ASE_InvalidMode;
    if (!m_stream)
        return ASE_InvalidMode;
    if (isUnplugged()) {
        copyAsioText(m_errorMessage, sizeof m_errorMessage, "device unplugged");
        return ASE_NotPresent;
    }
    m_stream->start(m_rate, signal());
    return ASE_OK;
}

ASIOError SimulatedDriver::stop()
{
    if (!m_stream)
        return ASE_OK;
    return m_stream->stop();
}

ASIOError SimulatedDriver::getChannels(long* numInputChannels, long* numOutputChannels)
{
    if (!numInputChannels || !numOutputChannels)
        return ASE_InvalidParameter;
    *numInputChannels = kInputChannels;
    *numOutputChannels = kOutputChannels;
    return ASE_OK;
}

ASIOError SimulatedDriver::getLatencies(long* inputLatency, long* outputLatency)
{
    if (!inputLatency || !outputLatency)
        return ASE_InvalidParameter;
    long size = 0, unused = 0;
    getBufferSize(&unused, &unused, &size, &unused);
    if (m_stream)
        size = m_stream->bufferSize();
    *inputLatency = size;
    *outputLatency = 2 * size;
    return ASE_OK;
}

ASIOError SimulatedDriver::getBufferSize(long* minSize, long* maxSize, long* preferredSize,
                                         long* granularity)
{
    if (!minSize || !maxSize || !preferredSize || !granularity)
        return ASE_InvalidParameter;
    const long m = isDsd() ? dsdMultiple() : 1;
    *minSize = isDsd() ? kDsdMinBufferSize * m : kPcmMinBufferSize;
    *maxSize = isDsd() ? kDsdMaxBufferSize * m : kPcmMaxBufferSize;
    *preferredSize = isDsd() ? kDsdPreferredBufferSize * m : kPcmPreferredBufferSize;
    *granularity = -1;
    return ASE_OK;
}

bool SimulatedDriver::acceptsRate(double rate) const
{
    return isStandardRate(rate) && AudioRates::isDsd(rate) == isDsd();
}

ASIOError SimulatedDriver::canSampleRate(ASIOSampleRate sampleRate)
{
    // The device runs at every standard rate; the IO format decides which ones setSampleRate
    // takes, so a host can probe all rates before it switches between PCM and DSD.
    return isStandardRate(sampleRate) ? ASE_OK : ASE_NoClock;
}

ASIOError SimulatedDriver::getSampleRate(ASIOSampleRate* sampleRate)
{
    if (!sampleRate)
        return ASE_InvalidParameter;
    *sampleRate = m_rate;
    return ASE_OK;
}

ASIOError SimulatedDriver::setSampleRate(ASIOSampleRate sampleRate)
{
    if (!acceptsRate(sampleRate))
        return ASE_NoClock;
    if (sampleRate != m_rate && m_stream && m_stream->state() == SimulatedStream::State::Running)
        return ASE_InvalidMode;
    m_rate = sampleRate;
    return ASE_OK;
}

ASIOError SimulatedDriver::getClockSources(ASIOClockSource* clocks, long* numSources)
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

ASIOError SimulatedDriver::setClockSource(long reference)
{
    return reference == 0 ? ASE_OK : ASE_InvalidParameter;
}

ASIOError SimulatedDriver::getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp)
{
    if (!sPos || !tStamp)
        return ASE_InvalidParameter;
    if (!m_stream || m_stream->state() != SimulatedStream::State::Running)
        return ASE_SPNotAdvancing;
    uint64_t samples = 0, timeNs = 0;
    m_stream->position(&samples, &timeNs);
    *sPos = splitValue(samples);
    *tStamp = splitValue(timeNs);
    return ASE_OK;
}

ASIOError SimulatedDriver::getChannelInfo(ASIOChannelInfo* info)
{
    if (!info)
        return ASE_InvalidParameter;
    const long count = info->isInput ? kInputChannels : kOutputChannels;
    if (info->channel < 0 || info->channel >= count)
        return ASE_InvalidParameter;
    info->isActive = m_stream && m_stream->hasChannel(info->channel, info->isInput == ASIOTrue)
                         ? ASIOTrue
                         : ASIOFalse;
    info->channelGroup = 0;
    info->type = isDsd() ? ASIOSTDSDInt8MSB1 : ASIOSTInt32LSB;
    snprintf(info->name, sizeof info->name, "%s %ld", info->isInput ? "Input" : "Output",
             info->channel + 1);
    return ASE_OK;
}

ASIOError SimulatedDriver::createBuffers(ASIOBufferInfo* bufferInfos, long numChannels,
                                         long bufferSize, ASIOCallbacks* callbacks)
{
    if (!bufferInfos || !callbacks || numChannels < 1 ||
        numChannels > kInputChannels + kOutputChannels)
        return ASE_InvalidParameter;
    long minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
    getBufferSize(&minSize, &maxSize, &preferred, &granularity);
    if (bufferSize < minSize || bufferSize > maxSize || !isPowerOfTwo(bufferSize))
        return ASE_InvalidMode;
    for (long i = 0; i < numChannels; ++i) {
        const long count = bufferInfos[i].isInput ? kInputChannels : kOutputChannels;
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
    m_stream = std::make_shared<SimulatedStream>(bufferInfos, numChannels, bufferSize, isDsd(),
                                                 *callbacks, hostTakesTimeInfo(*callbacks));
    return ASE_OK;
}

ASIOError SimulatedDriver::disposeBuffers()
{
    if (!m_stream)
        return ASE_OK;
    const ASIOError stopped = m_stream->stop();
    if (stopped != ASE_OK)
        return stopped;
    m_stream.reset();
    return ASE_OK;
}

ASIOError SimulatedDriver::controlPanel()
{
    return ASE_NotPresent;
}

ASIOError SimulatedDriver::setIoFormat(const ASIOIoFormat* format)
{
    if (format->FormatType != kASIOPCMFormat && format->FormatType != kASIODSDFormat)
        return ASE_InvalidParameter;
    if (format->FormatType == m_format)
        return ASE_SUCCESS;
    if (m_stream)
        return ASE_InvalidMode;
    m_format = format->FormatType;
    if (!acceptsRate(m_rate))
        m_rate = isDsd() ? kDsdBaseRate : AudioRates::kStandard[0];
    return ASE_SUCCESS;
}

ASIOError SimulatedDriver::future(long selector, void* opt)
{
    auto* format = static_cast<ASIOIoFormat*>(opt);
    switch (selector) {
    case kAsioSetIoFormat:
        if (!format)
            return ASE_InvalidParameter;
        return setIoFormat(format);
    case kAsioGetIoFormat:
        if (!format)
            return ASE_InvalidParameter;
        format->FormatType = m_format;
        return ASE_SUCCESS;
    case kAsioCanDoIoFormat:
        if (!format)
            return ASE_InvalidParameter;
        return format->FormatType == kASIOPCMFormat || format->FormatType == kASIODSDFormat
                   ? ASE_SUCCESS
                   : ASE_NotPresent;
    default:
        return ASE_NotPresent;
    }
}

ASIOError SimulatedDriver::outputReady()
{
    return ASE_OK;
}
