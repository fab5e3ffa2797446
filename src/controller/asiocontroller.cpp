#include "asiocontroller.h"

#include "asiodrivers.h"
#include "asiohoststate.h"
#include "audiofilewriter.h"
#include "diagnosticsink.h"
#include "nextnumberedname.h"
#include "partitionmanager.h"
#include "recordingdestination.h"
#include "takelog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QThread>
#include <cstring>
#include <vector>

namespace {

const char* const kVendorWord = "Halvik";
constexpr double kDsdBaseRate = 2822400.0;
// The least free space a recording starts with, and the warnings while it runs.
constexpr qint64 kLeastSecondsToStart = 60;
constexpr qint64 kSpaceWarnings[] = {600, 60};

uchar reversedBits(uchar v)
{
    uchar r = 0;
    for (int bit = 0; bit < 8; ++bit) {
        if (v & (1 << bit))
            r |= uchar(1 << (7 - bit));
    }
    return r;
}

bool isDsdRate(double r)
{
    return r > 0 && r / kDsdBaseRate >= 1;
}

} // namespace

AsioController::AsioController(AsioHostState* host, QSharedPointer<AsioDrivers> drivers,
                               QSharedPointer<PartitionManager> partitions,
                               QSharedPointer<AudioFileWriter> writer, int bufferMegabytes,
                               QObject* parent)
    : QObject(parent), reconnectTimer(new QTimer(this)), host(host), drivers(std::move(drivers)),
      partitions(std::move(partitions)), writer(std::move(writer))
{
    Q_UNUSED(bufferMegabytes);
    // Often enough that an unplug or a full buffer is handled at once to the user's eye, seldom
    // enough to cost nothing while idle.
    driverEvents = new QTimer(this);
    driverEvents->setInterval(50);
    connect(driverEvents, &QTimer::timeout, this, &AsioController::takeDriverEvents);
    driverEvents->start();
    spaceTimer = new QTimer(this);
    spaceTimer->setInterval(1000);
    connect(spaceTimer, &QTimer::timeout, this, &AsioController::checkFreeSpace);
    connect(this, &AsioController::driverReady, this, &AsioController::reportGap);
    reconnectTimer->setInterval(1000);
    connect(reconnectTimer, &QTimer::timeout, this, &AsioController::initializeAgain);
    connect(this, &AsioController::unplugged, reconnectTimer,
            static_cast<void (QTimer::*)()>(&QTimer::start));
    connect(this, &AsioController::driverReady, this, &AsioController::stopReconnecting);
    takeLog_ = new TakeLog(this);
    connect(takeLog_, &TakeLog::info, this, [this](const QString& m) { appendInfo(m); });
    connect(takeLog_, &TakeLog::warning, this, [this](const QString& m) { appendWarning(m); });
    if (this->writer) {
        takeLog_->follow(this->writer.data());
        connect(this->writer.data(), &AudioFileWriter::error, this,
                &AsioController::onWriterError, Qt::QueuedConnection);
        connect(this->writer.data(), &AudioFileWriter::fileNameTaken, this,
                &AsioController::onFileNameTaken, Qt::QueuedConnection);
    }
}

AsioController::~AsioController() = default;

// ---- simple queries ----

QStringList AsioController::driverNames() const { return driverNames_; }
QList<double> AsioController::sampleRates() const { return sampleRates_; }
bool AsioController::isDriverReady() const { return driverReady_; }
bool AsioController::isStreaming() const { return streaming; }
bool AsioController::isRecording() const { return recording; }
QString AsioController::logSource() const { return QStringLiteral("Controller"); }
QString AsioController::driverName() const { return QString::fromLocal8Bit(host->driverInfo.name); }
QString AsioController::driverToReconnect() const { return driverToReconnect_; }
double AsioController::sampleRate() const { return host->sampleRate; }
long AsioController::bufferSize() const { return host->preferredBufferSize; }
const QString& AsioController::fileName() const { return fileName_; }
int AsioController::fileType() const { return fileType_; }
qint64 AsioController::fileMaxSize() const { return writer ? writer->fileMaxSize() : -1; }
qint64 AsioController::autoSplitSize() const { return fileMaxSize(); }
QString AsioController::currentFileName() const { return writer ? writer->fileName() : QString(); }
bool AsioController::isMonitorAsioEnabled() const { return monitoring; }
bool AsioController::isReconnecting() const { return reconnectTimer->isActive(); }
bool AsioController::isPcm() const { return sampleRate() > 0 && sampleRate() < kDsdBaseRate; }
bool AsioController::isDsd() const { return isDsdRate(sampleRate()); }

double AsioController::dsdMultiplier() const
{
    return sampleRate() > 0 ? sampleRate() / kDsdBaseRate : -1.0;
}

QString AsioController::asioErrorText(ASIOError code) const
{
    switch (code) {
    case ASE_OK: return QStringLiteral("no errors");
    case ASE_SUCCESS: return QStringLiteral("success");
    case ASE_NotPresent: return QStringLiteral("hardware input or output is not present or available");
    case ASE_HWMalfunction: return QStringLiteral("hardware is malfunctioning");
    case ASE_InvalidParameter: return QStringLiteral("input parameter invalid");
    case ASE_InvalidMode: return QStringLiteral("hardware is in a bad mode or used in a bad mode");
    case ASE_SPNotAdvancing:
        return QStringLiteral("hardware is not running when sample position is inquired");
    case ASE_NoClock:
        return QStringLiteral("sample clock or rate cannot be determined or is not present");
    case ASE_NoMemory: return QStringLiteral("not enough memory");
    default: return QString();
    }
}

QString AsioController::ioFormatText(long type)
{
    switch (type) {
    case kASIOFormatInvalid: return QStringLiteral("INVALID FORMAT");
    case kASIOPCMFormat: return QStringLiteral("PCM");
    case kASIODSDFormat: return QStringLiteral("DSD");
    default: return QStringLiteral("UNKNOWN FORMAT");
    }
}

double AsioController::bytesPerSample(ASIOSampleType type)
{
    switch (type) {
    case ASIOSTInt16MSB: case ASIOSTInt16LSB: return 2;
    case ASIOSTInt24MSB: case ASIOSTInt24LSB: return 3;
    case ASIOSTInt32MSB: case ASIOSTFloat32MSB: case ASIOSTInt32MSB16: case ASIOSTInt32MSB18:
    case ASIOSTInt32MSB20: case ASIOSTInt32MSB24: case ASIOSTInt32LSB: case ASIOSTFloat32LSB:
    case ASIOSTInt32LSB16: case ASIOSTInt32LSB18: case ASIOSTInt32LSB20: case ASIOSTInt32LSB24:
        return 4;
    case ASIOSTFloat64MSB: case ASIOSTFloat64LSB: return 8;
    case ASIOSTDSDInt8LSB1: case ASIOSTDSDInt8MSB1: case ASIOSTDSDInt8NER8: return 0.125;
    default: return 0;
    }
}

QString AsioController::sampleRateText() const
{
    const double rate = sampleRate();
    const double kHz = rate / 1000;
    const int m = rate > 0 ? int(rate / kDsdBaseRate) : -1;
    if (m >= 1)
        return tr("DSD %1x (%2 kHz)").arg(m).arg(kHz, 0, 'f', 1);
    return QStringLiteral("%1 kHz").arg(kHz, 0, 'f', 1);
}

QString AsioController::hzText(double rate)
{
    return QString::number(rate, 'f', 0);
}

QString AsioController::clockText(qint64 seconds, int hourDigits)
{
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600, hourDigits, 10, QLatin1Char('0'))
        .arg((seconds / 60) % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

// The name as listed and chosen, which the driver's own report may shorten.
QString AsioController::deviceName() const
{
    return driverToReconnect_.isEmpty() ? driverName() : driverToReconnect_;
}

qint64 AsioController::bytesPerSecond() const
{
    const double rate = sampleRate();
    if (rate <= 0)
        return 0;
    return isDsd() ? qint64(rate * 2 / 8) : qint64(rate * 2 * 4);
}

qint64 AsioController::samplesSince(qint64 mark) const
{
    return recordedSamples.load() - mark;
}

double AsioController::recordedSeconds() const
{
    return sampleRate() > 0 ? double(samplesSince(recordingStart)) / sampleRate() : 0.0;
}

double AsioController::trackSeconds() const
{
    return sampleRate() > 0 ? double(samplesSince(trackStart)) / sampleRate() : 0.0;
}

qint64 AsioController::secondsLeft() const { return secondsLeft_; }

// ---- RAM buffer ----

float AsioController::bufferFill() const
{
    // Before the first driver sets a partition size the pool has no partitions: nothing is
    // buffered, and 0/0 would make the recorder look busy forever.
    const int count = partitions->partitionCount();
    return count > 0 ? float(double(unsigned(partitions->usedCount())) / count) : 0.0f;
}

qint64 AsioController::bufferedBytes() const
{
    return qint64(quint32(partitions->partitionSize() * unsigned(partitions->usedCount())));
}

bool AsioController::isSlowDrive() const { return bufferedBytes() > 512000; }
bool AsioController::canRecordNextTrack() const { return !isSlowDrive(); }
bool AsioController::isIdle() const { return !isRecording() && bufferFill() <= 0; }

// ---- level meters and dropouts ----

LevelMeter& AsioController::levelMeter(int input)
{
    return meters[qBound(0, input, kMeteredInputs - 1)];
}

unsigned AsioController::dropoutCount() const { return dropouts; }

void AsioController::resetMeters()
{
    for (LevelMeter& meter : meters)
        meter.reset(sampleRate());
}

void AsioController::reportDropouts()
{
    const unsigned n = dropouts;
    if (n == 0)
        return;
    const QString name = QFileInfo(fileName_).fileName();
    appendWarning(n == 1 ? tr("1 dropout during %1").arg(name)
                         : tr("%1 dropouts during %2").arg(n).arg(name));
}

// ---- log ----

void AsioController::appendLogMsg(QString msg, QString type, QString source, QColor color,
                                  QColor bgColor)
{
    // A recorder started from a terminal or a service manager shows its log there too: one
    // line per message, in one call, so lines from other threads never interleave with it.
    QString line = QStringLiteral("%1: %2").arg(type, msg);
    line.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
    if (type == QLatin1String("Error"))
        DiagnosticSink::error("%s", qPrintable(line));
    else
        DiagnosticSink::line("%s", qPrintable(line));
    emit logMsg(msg, type, source, color, bgColor);
}

void AsioController::appendDebug(QString msg)
{
    appendLogMsg(msg, QStringLiteral("Dbg"), logSource(), Qt::darkGray, QColor(240, 240, 240));
}

void AsioController::appendInfo(QString msg, QColor col)
{
    appendLogMsg(msg, QStringLiteral("Info"), logSource(), col, Qt::white);
}

void AsioController::appendWarning(QString msg, QColor col)
{
    appendLogMsg(msg, QStringLiteral("Warning"), logSource(), col, Qt::white);
}

void AsioController::appendError(QString msg, QColor col)
{
    appendLogMsg(msg, QStringLiteral("Error"), logSource(), col, Qt::white);
}

QString AsioController::failureText() const { return failureText_; }

// The writer names the file and ends its message with the system's reason. A destination it
// cannot open or write ends the recording: the writer already gives every block back, and
// closing makes it finish the file and return to idle.
void AsioController::onWriterError(int code, const QString& msg)
{
    appendError(tr("writer error %1: %2").arg(code).arg(msg), Qt::red);
    const bool destinationFailed = code == 1 || code == 4 || code == 5;
    if (!destinationFailed)
        return;
    failureText_ = msg.section(QStringLiteral(": "), -1);
    if (recording.exchange(false))
        writer->closeFile();
}

// Another program created the file between the choice of its name and the writer's open: the
// take went to the next free name, which from now on is the destination the user sees.
void AsioController::onFileNameTaken(const QString& asked, const QString& used)
{
    appendWarning(tr("'%1' was created by another program meanwhile; recording to '%2'")
                      .arg(asked, used));
    if (fileName_ == asked)
        fileName_ = used;
}

// ---- flags ----

void AsioController::setDriverReady(bool ready)
{
    if (driverReady_ == ready)
        return;
    driverReady_ = ready;
    if (ready)
        emit driverReady();
    else
        emit driverUnloaded();
}

void AsioController::setEnabledReverseBit(bool enabled) { reverseBit = enabled; }
void AsioController::toggleEnabledReverseBit() { reverseBit = !reverseBit; }
void AsioController::setEnabledMonitorPC(bool enabled) { monitorPC = enabled; }
void AsioController::setEnabledMonitorAsio(bool enabled) { monitoring = enabled; }
void AsioController::setAutoSplitSize(qlonglong bytes) { writer->setFileMaxSize(bytes); }

// ---- driver scanning ----

void AsioController::scanDrivers()
{
    appendInfo(tr("scanning..."), Qt::black);
    driverNames_ = listedDriverNames();
    appendInfo(tr("found %1 drivers - %2")
                   .arg(driverNames_.size())
                   .arg(driverNames_.join(QLatin1Char(','))),
               Qt::black);
}

QStringList AsioController::listedDriverNames() const
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

void AsioController::filterDrivers()
{
    QStringList supported, foreign;
    for (const QString& name : qAsConst(driverNames_))
        (isForeignDriver(name) ? foreign : supported) << name;
    driverNames_ = supported;
    appendInfo(tr("found %1 supported drivers - %2")
                   .arg(supported.size())
                   .arg(supported.join(QLatin1Char(','))),
               Qt::black);
    appendDebug(tr("3rd party drivers %1").arg(foreign.join(QLatin1Char(','))));
}

bool AsioController::isForeignDriver(const QString& name) const
{
    return !name.contains(QLatin1String(kVendorWord), Qt::CaseInsensitive);
}

bool AsioController::isCurrentDriverForeign() const
{
    return isForeignDriver(driverName());
}

QString AsioController::firstSupportedDriver(const QStringList& names) const
{
    for (const QString& name : names) {
        if (!isForeignDriver(name))
            return name;
    }
    return QString();
}

// ---- driver initialisation ----

bool AsioController::initializeDriver(QString name, double sample_rate)
{
    setDriverToReconnect(name);
    rateToReconnect = sample_rate;
    if (streaming)
        unloadCurrentDriver();
    appendDebug(tr("initializing %1...").arg(name));
    if (!driverNames_.contains(name))
        appendWarning(tr("%1 not found in the driver list").arg(name));
    appendDebug(tr("loading driver %1").arg(name));
    QByteArray latin = name.toLatin1();
    if (!loadAsioDriver(latin.data())) {
        appendError(tr("load driver info failed"), Qt::red);
        return false;
    }
    appendDebug(tr("initializing asio"));
    resetRequested = false;  // a request of the driver before this one is no longer meant
    const ASIOError init = ASIOInit(&host->driverInfo);
    resyncCount = 0;
    resyncsReported = 0;
    if (init != ASE_OK) {
        appendError(asioErrorText(init), Qt::red);
        return false;
    }
    host->installAsioCallbacks();
    if (disposeBuffers() != ASE_OK)
        return false;
    scanSamplingRate();
    if (sampleRates_.isEmpty()) {
        appendError(tr("no available sampling rate"), Qt::red);
        return false;
    }
    setSampleRate(sample_rate);
    refreshInfo();
    createBuffers();
    appendInfo(tr("driver %1 initialized").arg(name), Qt::black);
    resetMeters();
    startStreaming();
    const qint64 n = qint64(bytesPerSample(host->channelInfos[0].type) * bufferSize());
    if (n > 0)
        partitions->setPartitionSize(unsigned(n));
    rateToReconnect = sampleRate();
    setDriverReady(true);
    return true;
}

void AsioController::scanSamplingRate()
{
    appendDebug(tr("check available sampling rates"));
    const QStringList candidates = sampleRateCandidates();
    sampleRates_.clear();
    for (const QString& text : candidates) {
        bool ok = false;
        const double rate = text.toDouble(&ok);
        if (ok)
            sampleRates_ << rate;
    }
}

bool AsioController::setSampleRate(double rate)
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
        appendWarning(tr("sampling rate %1 is not supported").arg(hzText(rate)));
        if (sampleRates_.isEmpty())
            return false;
        rate = sampleRates_.first();
        appendWarning(tr("sampling rate corrected to %1").arg(hzText(rate)));
    }
    ASIOIoFormat format{};
    format.FormatType = isDsdRate(rate) ? kASIODSDFormat : kASIOPCMFormat;
    setIoFormat(format, true);
    if (ASIOSetSampleRate(rate) == ASE_OK)
        appendDebug(tr("set sample rate to %1 ...").arg(hzText(rate)));
    else
        appendWarning(tr("failed to set sample rate = %1").arg(hzText(rate)));
    double current = -1.0;
    int reads = 0;
    while (reads < 3 && current != rate) {
        ++reads;
        const ASIOError code = ASIOGetSampleRate(&current);
        if (code == ASE_OK)
            appendDebug(tr("current sample rate is %1").arg(hzText(current)));
        else
            appendError(asioErrorText(code), Qt::red);
    }
    DiagnosticSink::line("get SAMPLERATE called %d, result %f", reads + 1, current);
    return true;
}

bool AsioController::setIoFormat(ASIOIoFormat format, bool verify)
{
    const ASIOError code = ASIOFuture(kAsioSetIoFormat, &format);
    bool result = false;
    if (code == ASE_SUCCESS) {
        appendDebug(tr("set IO format to %1 ...").arg(ioFormatText(format.FormatType)));
        result = true;
    } else {
        appendError(asioErrorText(code), Qt::red);
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
            appendDebug(tr("current IO format is %1").arg(ioFormatText(current.FormatType)));
        else
            appendError(asioErrorText(read), Qt::red);
    }
    DiagnosticSink::line("get FORMAT called %d , result = %s", reads + 1,
                         qPrintable(ioFormatText(current.FormatType)));
    return current.FormatType == format.FormatType;
}

bool AsioController::refreshInfo()
{
    appendDebug(tr("reading driver info"));
    if (initAsioStaticData(*host) != 0) {
        appendError(QString::fromLocal8Bit(host->driverInfo.errorMessage), Qt::red);
        return false;
    }
    streaming = !host->stopped;
    return true;
}

bool AsioController::createBuffers()
{
    appendDebug(tr("crete buffers"));
    const ASIOError code = host->createAsioBuffers(*host);
    if (code != ASE_OK) {
        appendError(asioErrorText(code), Qt::red);
        inputBuffers.clear();
        outputBuffers.clear();
        return false;
    }
    // Only the entries this driver created: the others may still describe the buffers of a
    // previous driver with more channels, long since freed.
    inputBuffers.clear();
    outputBuffers.clear();
    const long created = host->inputBufferCount + host->outputBufferCount;
    for (int k = 0; k < created; ++k)
        (host->bufferInfos[k].isInput == ASIOTrue ? inputBuffers : outputBuffers) << k;
    return true;
}

ASIOError AsioController::disposeBuffers()
{
    const ASIOError code = ASIODisposeBuffers();
    if (code != ASE_OK)
        appendError(asioErrorText(code), Qt::red);
    return code;
}

bool AsioController::startStreaming()
{
    const ASIOError code = ASIOStart();
    if (code != ASE_OK) {
        appendError(asioErrorText(code), Qt::red);
        return false;
    }
    host->stopped = false;
    streaming = true;
    appendInfo(tr("recording started"), Qt::black);
    return true;
}

bool AsioController::stopStreaming()
{
    const ASIOError code = ASIOStop();
    if (code != ASE_OK) {
        appendError(asioErrorText(code), Qt::red);
        return false;
    }
    waitMs(100);
    host->stopped = true;
    streaming = false;
    appendInfo(tr("recording stopped"), Qt::black);
    return true;
}

void AsioController::shutDown()
{
    stopReconnecting();
    if (recording)
        stopRecording();
    if (driverReady_)
        unloadCurrentDriver();
    const qint64 waiting = bufferedBytes();
    if (waiting > 0)
        DiagnosticSink::line("finishing the recording: %lld bytes still to be written",
                             static_cast<long long>(waiting));
    writer->closeFile();
    // The writer's destructor drains its queue and closes the file before it returns.
    writer.reset();
    // Its last notices (a name it had to move past) still reach the names read after this.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    QCoreApplication::sendPostedEvents(takeLog_, QEvent::MetaCall);
}

void AsioController::unloadCurrentDriver()
{
    stopStreaming();
    disposeBuffers();
    const ASIOError code = ASIOExit();
    if (code != ASE_OK)
        appendError(asioErrorText(code), Qt::red);
    inputBuffers.clear();
    outputBuffers.clear();
    resetMeters();
    setDriverReady(false);
}

void AsioController::reinitializeDriver(QString name, double sample_rate, bool onlyIfChanged)
{
    setEnabledMonitorAsio(false);
    const int currentRate = int(sampleRate());
    const int wantedRate = int(sample_rate);
    if (onlyIfChanged && driverName() == name && currentRate == wantedRate)
        return;
    if (isDsdRate(currentRate) && isDsdRate(wantedRate)) {
        // The driver changes between DSD rates only by way of PCM.
        unloadCurrentDriver();
        initializeDriver(name, 44100);
    }
    unloadCurrentDriver();
    initializeDriver(name, wantedRate);
}

void AsioController::waitMs(int ms)
{
    QThread::msleep(ulong(ms));
}

// ---- buffer processing (driver thread) ----

void AsioController::processBuffer(unsigned char* data, long channel, ASIOSampleType sampleType,
                                   long bufferSize, long bufferIndex)
{
    monitorBuffer(data, channel, sampleType, bufferSize, bufferIndex);
    recordBuffer(data, channel, sampleType, bufferSize, bufferIndex);
    meterBuffer(data, channel, sampleType, bufferSize);
}

void AsioController::meterBuffer(unsigned char* data, long channel, ASIOSampleType sampleType,
                                 long bufferSize)
{
    const int input = inputBuffers.indexOf(int(channel));
    if (input >= 0 && input < kMeteredInputs)
        meters[input].process(data, sampleType, bufferSize);
}

void AsioController::monitorBuffer(unsigned char* data, long channel, ASIOSampleType sampleType,
                                   long bufferSize, long bufferIndex)
{
    const int i = inputBuffers.indexOf(int(channel));
    if (i < 0 || i >= outputBuffers.size() || bufferIndex < 0 || bufferIndex > 1)
        return;  // an input without a paired output is not monitored
    auto* out = static_cast<uchar*>(host->bufferInfos[outputBuffers.at(i)].buffers[bufferIndex]);
    const qint64 n = qint64(bytesPerSample(sampleType) * bufferSize);
    if (n < 1 || !out)
        return;
    if (!monitoring) {
        std::memset(out, isPcm() ? 0x00 : 0x96, size_t(n));
    } else if (isDsd() && reverseBit) {
        for (qint64 k = 0; k < n; ++k)
            out[k] = reversedBits(data[k]);
    } else {
        std::memcpy(out, data, size_t(n));
    }
}

void AsioController::recordBuffer(unsigned char* data, long channel, ASIOSampleType sampleType,
                                  long bufferSize, long bufferIndex)
{
    Q_UNUSED(bufferIndex);
    // Marks the span in which a block may still be taken after the flag is read (see
    // waitForRecordBuffer).
    recordBufferBusy = true;
    recordBlock(data, channel, sampleType, bufferSize);
    recordBufferBusy = false;
}

void AsioController::recordBlock(unsigned char* data, long channel, ASIOSampleType sampleType,
                                 long bufferSize)
{
    if (!partitions || !partitions->isAllocated() || partitions->partitionSize() < 1 || !recording)
        return;
    const qint64 n = qint64(bytesPerSample(sampleType) * bufferSize);
    if (n <= 0) {
        pendingBadBuffer = bufferSize == 0 ? BadBuffer::Empty : BadBuffer::InvalidType;
        return;
    }
    if (n > qint64(partitions->partitionSize())) {
        stopRecordingFromDriverThread(DriverStop::BufferTooLarge, n);
        return;
    }
    uchar* partition = partitions->acquire();
    if (!partition) {
        ++dropouts;
        stopRecordingFromDriverThread(DriverStop::BufferFull);
        return;
    }
    std::memcpy(partition, data, size_t(n));
    writer->append(int(channel), partition, n);
    if (int(channel) == inputBuffers.value(0))
        recordedSamples += bufferSize;
}

// The flag drops at once so no further block is taken; the file is closed on the GUI thread,
// after everything queued so far.
void AsioController::stopRecordingFromDriverThread(DriverStop reason, qint64 bytes)
{
    if (!recording.exchange(false))
        return;
    pendingStopBytes = bytes;
    pendingStop = reason;
}

// GUI thread, after clearing the recording flag: returns once the driver thread is past any
// buffer it began recording before, so that no partition is taken after a stop and the
// recorder, once idle, stays idle. Only this side waits, for the few microseconds of a copy.
void AsioController::waitForRecordBuffer()
{
    while (recordBufferBusy)
        QThread::yieldCurrentThread();
}

void AsioController::driverResetRequested()
{
    // The driver must never be stopped or disposed from inside its own callback.
    resetRequested = true;
}

void AsioController::driverResyncRequested()
{
    if (recording)
        ++dropouts;
    ++resyncCount;
}

// GUI thread: what the driver's thread left since the last look, in the order it matters: a
// stopped recording is closed before a lost driver is torn down.
void AsioController::takeDriverEvents()
{
    const BadBuffer bad = pendingBadBuffer.exchange(BadBuffer::None);
    if (bad != BadBuffer::None)
        appendError(bad == BadBuffer::Empty ? tr("sample data is empty") : tr("invalid buffer type"),
                    Qt::red);
    const DriverStop stop = pendingStop.exchange(DriverStop::None);
    if (stop != DriverStop::None) {
        appendError(stop == DriverStop::BufferFull
                        ? tr("buffer is full")
                        : tr("buffer of %1 bytes does not fit a partition of %2 bytes")
                              .arg(pendingStopBytes.load())
                              .arg(partitions->partitionSize()),
                    Qt::red);
        failureText_ = stop == DriverStop::BufferFull
                           ? tr("RAM buffer full (the disk is too slow)")
                           : tr("a driver buffer of %1 bytes does not fit the RAM buffer's "
                                "partitions of %2 bytes")
                                 .arg(pendingStopBytes.load())
                                 .arg(partitions->partitionSize());
        reportDropouts();
        writer->closeFile();
    }
    const unsigned resyncs = resyncCount;
    if (resyncs != resyncsReported) {
        resyncsReported = resyncs;
        appendWarning(
            tr("the driver lost samples and resynchronised (%1 times since it was initialized)")
                .arg(resyncs));
    }
    if (resetRequested.exchange(false))
        onDriverLost();
}

void AsioController::onDriverLost()
{
    if (recording && !gapClock.isValid()) {
        gapClock.start();
        gapPosition = samplesSince(trackStart);
        gapFile = currentFileName();
    }
    stopStreaming();
    unloadCurrentDriver();
    emit unplugged();
}

// ---- recording control ----

int AsioController::fileTypeFromName(const QString& name)
{
    if (name.endsWith(QLatin1String("dsf"), Qt::CaseInsensitive))
        return 2;
    if (name.endsWith(QLatin1String("dff"), Qt::CaseInsensitive))
        return 1;
    return 0;
}

bool AsioController::setFileName(QString fname)
{
    if (fname == fileName_)
        return true;
    if (recording)
        appendWarning(tr("changing filename while recording wont be applied until next restart"));
    fileName_ = fname;
    setFileType(fileTypeFromName(fname));
    return true;
}

bool AsioController::setFileType(int type)
{
    if (type == fileType_)
        return true;
    if (recording)
        appendWarning(tr("changing file type while recording wont be applied until next restart"));
    fileType_ = type;
    return true;
}

bool AsioController::startRecording(bool overwrite)
{
    return setRecording(true, overwrite);
}

bool AsioController::stopRecording()
{
    return setRecording(false, false);
}

bool AsioController::setRecording(bool rec, bool overwrite)
{
    if (rec == recording)
        appendWarning(rec ? tr("recording already started") : tr("recording already stopped"));
    if (!rec) {
        if (recording)
            reportDropouts();
        recording = false;
        waitForRecordBuffer();
        writer->closeFile();
        gapClock.invalidate();
        checkFreeSpace();
        return true;
    }
    if (!recording && bufferFill() > 0) {
        appendError(tr("flushing still in progress"), Qt::red);
        return false;
    }
    // A container never holds data of the other kind: WAV takes PCM, DSF and DSDIFF take DSD.
    if ((fileType_ != 0) != isDsd()) {
        appendError(tr("'%1' cannot hold %2 data").arg(fileName_, isDsd() ? "DSD" : "PCM"),
                    Qt::red);
        return false;
    }
    if (!overwrite && QFileInfo::exists(fileName_))
        setFileName(uniqueFileName(fileName_));
    failureText_.clear();
    dropouts = 0;
    // The writer starts first: blocks queued before its start belong to no recording.
    describeNextFile();
    writer->start(fileName_, fileType_, 2, 32, int(sampleRate()), overwrite);
    recordingStart = trackStart = recordedSamples.load();
    takeLog_->startTake();
    recording = true;
    lastSpaceWarning = 0;
    checkFreeSpace();
    spaceTimer->start();
    return true;
}

QString AsioController::recordingProblem(const QString& name) const
{
    const QString problem = RecordingDestination::problem(name);
    if (!problem.isEmpty())
        return problem;
    const qint64 available = RecordingDestination::availableBytes(name);
    const qint64 needed = kLeastSecondsToStart * bytesPerSecond();
    if (available >= 0 && available < needed)
        return tr("only %1 MB free for '%2'; one minute of recording needs %3 MB")
            .arg(double(available) / 1e6, 0, 'f', 1)
            .arg(name)
            .arg(double(needed) / 1e6, 0, 'f', 1);
    return QString();
}

// Once a second while recording: the time left on the destination's disk, and one warning
// as it passes each threshold.
void AsioController::checkFreeSpace()
{
    const qint64 rate = bytesPerSecond();
    const qint64 available = RecordingDestination::availableBytes(currentFileName());
    if (!recording || rate <= 0 || available < 0) {
        secondsLeft_ = -1;
        if (!recording)
            spaceTimer->stop();
        return;
    }
    // What still waits in RAM takes its share of the disk too.
    secondsLeft_ = qMax<qint64>(0, available - bufferedBytes()) / rate;
    qint64 due = 0;  // the lowest threshold passed
    for (qint64 threshold : kSpaceWarnings)
        if (secondsLeft_ <= threshold)
            due = threshold;
    if (due == 0 || (lastSpaceWarning != 0 && lastSpaceWarning <= due))
        return;
    lastSpaceWarning = due;
    appendWarning(tr("%1 of recording time left on the disk of '%2'")
                      .arg(clockText(secondsLeft_, 1), currentFileName()));
}

void AsioController::reportGap()
{
    if (!gapClock.isValid())
        return;
    const double seconds = gapClock.elapsed() / 1000.0;
    gapClock.invalidate();
    if (!recording || sampleRate() <= 0)
        return;
    appendWarning(tr("gap of %1 s at %2 in %3")
                      .arg(seconds, 0, 'f', 1)
                      .arg(clockText(qint64(double(gapPosition) / sampleRate())))
                      .arg(QFileInfo(gapFile).fileName()));
}

void AsioController::recordNextTrack()
{
    if (!recording)
        return;
    // A track that no audio has reached yet would stay an empty file.
    if (samplesSince(trackStart) <= 0) {
        appendDebug(tr("next track ignored: the current track holds no audio yet"));
        return;
    }
    // A track the writer has not created on disk yet is not seen by the free-name search;
    // reusing its name would truncate it when the next track opens.
    QString next = nextTrackFileName(fileName_);
    while (next == writer->fileName())
        next = uniqueFileName(nextNumberedName(next, QStringLiteral("_")));
    describeNextFile();
    writer->start(next, fileType_, 2, 32, int(sampleRate()));
    trackStart = recordedSamples.load();
    takeLog_->startTrack();
}

QString AsioController::stripTrackNumber(const QString& path) const
{
    const QFileInfo info(path);
    QString base = info.baseName();
    const QString suffix = info.suffix();
    const int underscore = base.lastIndexOf(QLatin1Char('_'));
    if (underscore >= 0) {
        const QString tail = base.mid(underscore + 1);
        bool digits = tail.size() == 4;
        for (QChar c : tail)
            digits = digits && c.isDigit() && c.unicode() < 128;
        if (digits)
            base = base.left(underscore);
    }
    return QDir(info.absolutePath()).absoluteFilePath(base + QLatin1Char('.') + suffix);
}

QString AsioController::uniqueFileName(const QString& path) const
{
    QString name = path;
    while (QFileInfo::exists(name))
        name = nextNumberedName(name, QStringLiteral("_"));
    return name;
}

QString AsioController::nextTrackFileName(const QString& path) const
{
    return uniqueFileName(stripTrackNumber(path));
}

// ---- reconnection ----

void AsioController::setDriverToReconnect(QString driver) { driverToReconnect_ = driver; }

void AsioController::startReconnecting()
{
    if (!reconnectTimer->isActive())
        reconnectTimer->start();
}

void AsioController::stopReconnecting() { reconnectTimer->stop(); }

// The rate last asked for, also one chosen while the device was away; a device absent when
// the driver list was read (a card plugged in later) is found by reading it again.
bool AsioController::initializeAgain()
{
    if (!driverNames_.contains(driverToReconnect_) && rescanAsioDrivers()) {
        drivers->rescan();
        if (listedDriverNames() != driverNames_)
            scanDrivers();
    }
    const double rate = rateToReconnect > 0 ? rateToReconnect : sampleRate();
    const bool changed = sampleRate() > 0 && qRound64(rate) != qRound64(sampleRate());
    if (!initializeDriver(driverToReconnect_, rate))
        return false;
    if (changed)
        appendInfo(tr("%1 is back: the sampling rate chosen meanwhile, %2 Hz, is applied (now %3)")
                       .arg(driverToReconnect_, hzText(rate), sampleRateText()));
    return true;
}

// ---- settings ----

void AsioController::saveIni(QString org, QString app, bool userScope)
{
    if (!configLoaded)
        return;
    QSettings settings(QSettings::IniFormat,
                       userScope ? QSettings::UserScope : QSettings::SystemScope, org, app);
    settings.beginGroup(QStringLiteral("CONFIG"));
    settings.setValue(QStringLiteral("loopback_enabled"), bool(monitoring));
    settings.setValue(QStringLiteral("auto_split_size"), qlonglong(fileMaxSize()));
    settings.setValue(QStringLiteral("embed_metadata"), embedMetadata);
    settings.endGroup();
}

void AsioController::loadIni(QString org, QString app, bool userScope)
{
    QSettings settings(QSettings::IniFormat,
                       userScope ? QSettings::UserScope : QSettings::SystemScope, org, app);
    settings.beginGroup(QStringLiteral("CONFIG"));
    bool loopback = settings.value(QStringLiteral("loopback_enabled"), bool(monitoring)).toBool();
    const qlonglong split =
        settings.value(QStringLiteral("auto_split_size"), qlonglong(fileMaxSize())).toLongLong();
    embedMetadata = settings.value(QStringLiteral("embed_metadata"), embedMetadata).toBool();
    settings.endGroup();
    configLoaded = true;
    if (isCurrentDriverForeign())
        loopback = false;
    setEnabledMonitorAsio(loopback);
    setAutoSplitSize(split);
}

bool AsioController::isEmbedMetadataEnabled() const
{
    return embedMetadata;
}

void AsioController::setEmbedMetadata(bool enabled)
{
    embedMetadata = enabled;
}

// The first sample of the file is the one the next buffer brings: the time is taken now.
void AsioController::describeNextFile()
{
    writer->setMetadata(embedMetadata ? RecordingMetadata::startingNow(deviceName())
                                      : RecordingMetadata());
}
