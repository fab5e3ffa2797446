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

ASIOError SimulatedDriver::start()
{
    if (!m_initialized || !m_stream)
        return ASE_InvalidMode;
    if (isUnplugged()) {
        copyAsioText(m_errorMessage, sizeof m_errorMessage, "device unplugged");
        return ASE_NotPresent;
    }
    static_cast<SimulatedStream*>(m_stream.get())->start(m_rate, signal());
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

std::shared_ptr<HalfBufferStream> SimulatedDriver::makeStream(ASIOBufferInfo* infos, long count,
                                                              long bufferSize,
                                                              const ASIOCallbacks& callbacks,
                                                              bool useTimeInfo)
{
    return std::make_shared<SimulatedStream>(infos, count, bufferSize, isDsd(), callbacks,
                                             useTimeInfo);
}
