#include "driversession.h"

#include "asiodrivers.h"
#include "asiohoststate.h"
#include "audiorates.h"
#include "capturepath.h"
#include "controllerlog.h"
#include "diagnosticsink.h"

#include <QThread>
#include <vector>

namespace {

const char* const kVendorWord = "Halvik";
// How a driver's message begins when its device is away, which the reconnection is for.
const char* const kUnpluggedWords = "device unplugged";

} // namespace

DriverSession::DriverSession(AsioHostState* host, QSharedPointer<AsioDrivers> drivers,
                             CapturePath& capture, ControllerLog& log)
    : host(host), drivers(std::move(drivers)), capture(capture), log(log)
{}

QString DriverSession::errorText(ASIOError code)
{
    switch (code) {
    case ASE_OK:
        return QStringLiteral("no errors");
    case ASE_SUCCESS:
        return QStringLiteral("success");
    case ASE_NotPresent:
        return QStringLiteral("hardware input or output is not present or available");
    case ASE_HWMalfunction:
        return QStringLiteral("hardware is malfunctioning");
    case ASE_InvalidParameter:
        return QStringLiteral("input parameter invalid");
    case ASE_InvalidMode:
        return QStringLiteral("hardware is in a bad mode or used in a bad mode");
    case ASE_SPNotAdvancing:
        return QStringLiteral("hardware is not running when sample position is inquired");
    case ASE_NoClock:
        return QStringLiteral("sample clock or rate cannot be determined or is not present");
    case ASE_NoMemory:
        return QStringLiteral("not enough memory");
    default:
        return QString();
    }
}

QString DriverSession::ioFormatText(long type)
{
    switch (type) {
    case kASIOFormatInvalid:
        return QStringLiteral("INVALID FORMAT");
    case kASIOPCMFormat:
        return QStringLiteral("PCM");
    case kASIODSDFormat:
        return QStringLiteral("DSD");
    default:
        return QStringLiteral("UNKNOWN FORMAT");
    }
}

QString DriverSession::hzText(double rate)
{
    return QString::number(rate, 'f', 0);
}

bool DriverSession::isForeignDriver(const QString& name)
{
    return !name.contains(QLatin1String(kVendorWord), Qt::CaseInsensitive);
}

QString DriverSession::firstSupported(const QStringList& names)
{
    for (const QString& name : names) {
        if (!isForeignDriver(name))
            return name;
    }
    return QString();
}

QString DriverSession::driverName() const
{
    return QString::fromLocal8Bit(host->driverInfo.name);
}
double DriverSession::sampleRate() const
{
    return host->sampleRate;
}
long DriverSession::bufferSize() const
{
    return host->preferredBufferSize;
}

QString DriverSession::sampleRateText() const
{
    const double rate = sampleRate();
    const double kHz = rate / 1000;
    const int m = rate > 0 ? int(rate / AudioRates::kDsdBase) : -1;
    if (m >= 1)
        return tr("DSD %1x (%2 kHz)").arg(m).arg(kHz, 0, 'f', 1);
    return QStringLiteral("%1 kHz").arg(kHz, 0, 'f', 1);
}

long DriverSession::inputCount() const
{
    return host->inputChannelCount;
}

int DriverSession::inputPair() const
{
    return int(host->firstInputChannel / 2) + 1;
}

void DriverSession::setInputPair(int pair)
{
    wantedPair = qMax(1, pair);
}

qint64 DriverSession::inputBlockBytes() const
{
    return qint64(CapturePath::bytesPerSample(host->channelInfos[0].type) * bufferSize());
}

// ---- the list of drivers ----

void DriverSession::scan()
{
    log.appendInfo(tr("scanning..."), Qt::black);
    driverNames_ = listedDriverNames();
    log.appendInfo(tr("found %1 drivers - %2")
                       .arg(driverNames_.size())
                       .arg(driverNames_.join(QLatin1Char(','))),
                   Qt::black);
}

QStringList DriverSession::listedDriverNames() const
{
    const int n = drivers->entryCount();
    std::vector<std::vector<char>> buffers(size_t(qMax(n, 0)),
                                           std::vector<char>(kAsioDriverNameSize, '\0'));
    std::vector<char*> names;
    for (auto& b : buffers)
        names.push_back(b.data());
    drivers->entryNames(names.data(), n);
    QStringList list;
    for (char* name : names)
        list << QString::fromLocal8Bit(name);
    return list;
}

void DriverSession::filter()
{
    QStringList supported, foreign;
    for (const QString& name : qAsConst(driverNames_))
        (isForeignDriver(name) ? foreign : supported) << name;
    driverNames_ = supported;
    log.appendInfo(tr("found %1 supported drivers - %2")
                       .arg(supported.size())
                       .arg(supported.join(QLatin1Char(','))),
                   Qt::black);
    log.appendDebug(tr("3rd party drivers %1").arg(foreign.join(QLatin1Char(','))));
}

void DriverSession::rescanFor(const QString& name)
{
    if (driverNames_.contains(name) || !rescanAsioDrivers())
        return;
    drivers->rescan();
    if (listedDriverNames() != driverNames_)
        scan();
}

// ---- initialisation ----

bool DriverSession::load(const QString& name)
{
    log.appendDebug(tr("initializing %1...").arg(name));
    if (!driverNames_.contains(name))
        log.appendWarning(tr("%1 not found in the driver list").arg(name));
    log.appendDebug(tr("loading driver %1").arg(name));
    QByteArray latin = name.toLatin1();
    if (!loadAsioDriver(latin.data())) {
        log.appendError(tr("load driver info failed"), Qt::red);
        return false;
    }
    return true;
}

bool DriverSession::init()
{
    log.appendDebug(tr("initializing asio"));
    const ASIOError init = ASIOInit(&host->driverInfo);
    if (init == ASE_OK) {
        problem_.clear();
        return true;
    }
    log.appendError(errorText(init), Qt::red);
    // A card held by another program names the holder and how to free it. Said once: the
    // reconnection asks again every second.
    const QString said = QString::fromLocal8Bit(host->driverInfo.errorMessage);
    const bool away = said.isEmpty() || said.startsWith(QLatin1String(kUnpluggedWords));
    if (!away && said != problem_)
        log.appendError(said, Qt::red);
    problem_ = away ? QString() : said;
    return false;
}

bool DriverSession::prepare(double rate)
{
    host->installAsioCallbacks();
    if (disposeBuffers() != ASE_OK)
        return false;
    scanSamplingRate();
    if (sampleRates_.isEmpty()) {
        log.appendError(tr("no available sampling rate"), Qt::red);
        return false;
    }
    setSampleRate(rate);
    refreshInfo();
    createBuffers();
    return true;
}

void DriverSession::scanSamplingRate()
{
    log.appendDebug(tr("check available sampling rates"));
    const QStringList candidates = sampleRateCandidates();
    sampleRates_.clear();
    for (const QString& text : candidates) {
        bool ok = false;
        const double rate = text.toDouble(&ok);
        if (ok)
            sampleRates_ << rate;
    }
}

bool DriverSession::setSampleRate(double rate)
{
    const QString wanted = QStringLiteral("%1").arg(rate, 0, 'f', 2);
    bool found = false;
    for (double r : qAsConst(sampleRates_)) {
        if (QStringLiteral("%1").arg(r, 0, 'f', 2) == wanted) {
            rate = r;
            found = true;
            break;
        }
    }
    if (!found) {
        log.appendWarning(tr("sampling rate %1 is not supported").arg(hzText(rate)));
        if (sampleRates_.isEmpty())
            return false;
        rate = sampleRates_.first();
        log.appendWarning(tr("sampling rate corrected to %1").arg(hzText(rate)));
    }
    ASIOIoFormat format{};
    format.FormatType = AudioRates::isDsd(rate) ? kASIODSDFormat : kASIOPCMFormat;
    setIoFormat(format, true);
    if (ASIOSetSampleRate(rate) == ASE_OK)
        log.appendDebug(tr("set sample rate to %1 ...").arg(hzText(rate)));
    else
        log.appendWarning(tr("failed to set sample rate = %1").arg(hzText(rate)));
    double current = -1.0;
    int reads = 0;
    while (reads < 3 && current != rate) {
        ++reads;
        const ASIOError code = ASIOGetSampleRate(&current);
        if (code == ASE_OK)
            log.appendDebug(tr("current sample rate is %1").arg(hzText(current)));
        else
            log.appendError(errorText(code), Qt::red);
    }
    DiagnosticSink::line("get SAMPLERATE called %d, result %f", reads + 1, current);
    return true;
}

bool DriverSession::setIoFormat(ASIOIoFormat format, bool verify)
{
    const ASIOError code = ASIOFuture(kAsioSetIoFormat, &format);
    bool result = false;
    if (code == ASE_SUCCESS) {
        log.appendDebug(tr("set IO format to %1 ...").arg(ioFormatText(format.FormatType)));
        result = true;
    } else {
        log.appendError(errorText(code), Qt::red);
    }
    waitMs(150);
    if (code == ASE_OK || !verify)
        return result;
    ASIOIoFormat current{};
    current.FormatType = kASIOFormatInvalid;
    int reads = 0;
    while (reads < 5 && current.FormatType != format.FormatType) {
        ++reads;
        const ASIOError read = ASIOFuture(kAsioGetIoFormat, &current);
        if (read == ASE_SUCCESS)
            log.appendDebug(tr("current IO format is %1").arg(ioFormatText(current.FormatType)));
        else
            log.appendError(errorText(read), Qt::red);
    }
    DiagnosticSink::line("get FORMAT called %d , result = %s", reads + 1,
                         qPrintable(ioFormatText(current.FormatType)));
    return current.FormatType == format.FormatType;
}

// While the stream runs, the driver thread reads the buffer size, the output-ready answer and the
// rate on every switch, and the buffers were made for them: the driver's answers then go into a
// copy and only what the callbacks do not read is taken over. A rate the device changed on its
// own comes through the driver's reset request instead.
bool DriverSession::refreshInfo()
{
    log.appendDebug(tr("reading driver info"));
    const bool live = streaming;
    AsioDriverData fresh;
    if (initAsioStaticData(live ? fresh : *host) != 0) {
        log.appendError(QString::fromLocal8Bit(host->driverInfo.errorMessage), Qt::red);
        return false;
    }
    if (live) {
        host->inputChannelCount = fresh.inputChannelCount;
        host->outputChannelCount = fresh.outputChannelCount;
        host->minBufferSize = fresh.minBufferSize;
        host->maxBufferSize = fresh.maxBufferSize;
        host->bufferSizeGranularity = fresh.bufferSizeGranularity;
    }
    streaming = !host->stopped;
    return true;
}

// ---- buffers and stream ----

bool DriverSession::createBuffers()
{
    log.appendDebug(tr("crete buffers"));
    chooseInputs();
    const ASIOError code = host->createAsioBuffers(*host);
    if (code != ASE_OK) {
        log.appendError(errorText(code), Qt::red);
        capture.clearBuffers();
        return false;
    }
    logInputs();
    // Only the entries this driver created: the others may still describe the buffers of a
    // previous driver with more channels, long since freed.
    QList<int> inputs, outputs;
    const long created = host->inputBufferCount + host->outputBufferCount;
    for (int k = 0; k < created; ++k)
        (host->bufferInfos[k].isInput == ASIOTrue ? inputs : outputs) << k;
    capture.setBuffers(inputs, outputs);
    return true;
}

// A pair the device does not have (a setting made for another device) gives way to the first.
void DriverSession::chooseInputs()
{
    int pair = wantedPair;
    const long count = host->inputChannelCount;
    if (pair > 1 && 2L * pair > count) {
        log.appendWarning(tr("%1 has %2, not inputs %3–%4: recording inputs 1–2")
                              .arg(driverName(), inputsText(count))
                              .arg(2 * pair - 1)
                              .arg(2 * pair));
        pair = 1;
    }
    host->firstInputChannel = 2L * (pair - 1);
}

// The driver's names of the inputs used, which also tell how it carries them (DoP).
void DriverSession::logInputs()
{
    QStringList names;
    for (long k = 0; k < host->inputBufferCount; ++k)
        names << QString::fromLocal8Bit(host->channelInfos[k].name);
    log.appendInfo(tr("inputs used: %1 (the device has %2)")
                       .arg(names.join(QLatin1String(", ")), inputsText(host->inputChannelCount)),
                   Qt::black);
}

QString DriverSession::inputsText(long count)
{
    return count == 1 ? tr("1 input") : tr("%1 inputs").arg(count);
}

ASIOError DriverSession::disposeBuffers()
{
    const ASIOError code = ASIODisposeBuffers();
    if (code != ASE_OK)
        log.appendError(errorText(code), Qt::red);
    return code;
}

bool DriverSession::startStreaming()
{
    const ASIOError code = ASIOStart();
    if (code != ASE_OK) {
        log.appendError(errorText(code), Qt::red);
        return false;
    }
    host->stopped = false;
    streaming = true;
    log.appendInfo(tr("recording started"), Qt::black);
    return true;
}

bool DriverSession::stopStreaming()
{
    const ASIOError code = ASIOStop();
    if (code != ASE_OK) {
        log.appendError(errorText(code), Qt::red);
        return false;
    }
    waitMs(100);
    host->stopped = true;
    streaming = false;
    log.appendInfo(tr("recording stopped"), Qt::black);
    return true;
}

void DriverSession::unload()
{
    stopStreaming();
    disposeBuffers();
    const ASIOError code = ASIOExit();
    if (code != ASE_OK)
        log.appendError(errorText(code), Qt::red);
    capture.clearBuffers();
}

void DriverSession::waitMs(int ms)
{
    QThread::msleep(ulong(ms));
}
