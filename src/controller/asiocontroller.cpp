#include "asiocontroller.h"

#include "audiofilewriter.h"
#include "audiorates.h"
#include "capturepath.h"
#include "capturesettings.h"
#include "diagnosticsink.h"
#include "driversession.h"
#include "freespacewatch.h"
#include "partitionmanager.h"
#include "reconnection.h"
#include "recordingcontrol.h"
#include "takelog.h"

#include <QCoreApplication>
#include <QSettings>

static_assert(AsioController::kMeteredInputs == CapturePath::kMeteredInputs,
              "the controller meters what the capture path meters");

AsioController::AsioController(AsioHostState* host, QSharedPointer<AsioDrivers> drivers,
                               QSharedPointer<PartitionManager> partitions,
                               QSharedPointer<AudioFileWriter> writer, QObject* parent)
    : QObject(parent), partitions(partitions), writer(writer), takeLog_(new TakeLog(this)),
      capture(new CapturePath(host, partitions.data(), writer.data())),
      session(new DriverSession(host, std::move(drivers), *capture, *this)),
      recording(new RecordingControl(*capture, *session, partitions.data(), writer.data(),
                                     *takeLog_, *this)),
      space(new FreeSpaceWatch(*this,
                               [this] {
                                   return FreeSpaceWatch::Recording{
                                       capture->isRecording(), currentFileName(), bytesPerSecond(),
                                       bufferedBytes()};
                               })),
      reconnection(new Reconnection(*session, *this, [this](const QString& name, double rate) {
          return initializeDriver(name, rate);
      }))
{
    // Often enough that an unplug or a full buffer is handled at once to the user's eye, seldom
    // enough to cost nothing while idle.
    driverEvents = new QTimer(this);
    driverEvents->setInterval(50);
    connect(driverEvents, &QTimer::timeout, this, &AsioController::takeDriverEvents);
    driverEvents->start();
    connect(this, &AsioController::driverReady, this, [this] { recording->reportGap(); });
    connect(this, &AsioController::unplugged, this, [this] { reconnection->restart(); });
    connect(this, &AsioController::driverReady, this, &AsioController::stopReconnecting);
    connect(takeLog_, &TakeLog::info, this, [this](const QString& m) { appendInfo(m); });
    connect(takeLog_, &TakeLog::warning, this, [this](const QString& m) { appendWarning(m); });
    if (!writer)
        return;
    takeLog_->follow(writer.data());
    connect(
        writer.data(), &AudioFileWriter::error, this,
        [this](int code, const QString& msg) { recording->onWriterError(code, msg); },
        Qt::QueuedConnection);
    connect(
        writer.data(), &AudioFileWriter::fileNameTaken, this,
        [this](const QString& asked, const QString& used) {
            recording->onFileNameTaken(asked, used);
        },
        Qt::QueuedConnection);
}

AsioController::~AsioController() = default;

// ---- queries ----

QString AsioController::currentFileName() const
{
    return writer ? recording->currentFileName() : QString();
}
bool AsioController::isForeignDriver(const QString& name) const
{
    return DriverSession::isForeignDriver(name);
}
double AsioController::dsdMultiplier() const
{
    return sampleRate() > 0 ? sampleRate() / AudioRates::kDsdBase : -1.0;
}

QString AsioController::clockText(qint64 seconds, int hourDigits)
{
    return RecordingControl::clockText(seconds, hourDigits);
}

QString AsioController::firstSupportedDriver(const QStringList& names) const
{
    return DriverSession::firstSupported(names);
}

// The name as listed and chosen, which the driver's own report may shorten.
QString AsioController::deviceName() const
{
    const QString chosen = driverToReconnect();
    return chosen.isEmpty() ? driverName() : chosen;
}

qint64 AsioController::bytesPerSecond() const
{
    const double rate = sampleRate();
    if (rate <= 0)
        return 0;
    return isDsd() ? qint64(rate * 2 / 8) : qint64(rate * 2 * 4);
}

QString AsioController::recordingProblem(const QString& name) const
{
    return FreeSpaceWatch::recordingProblem(name, bytesPerSecond());
}

// ---- RAM buffer ----

qint64 AsioController::fileMaxSize() const
{
    return writer ? writer->fileMaxSize() : -1;
}

void AsioController::setAutoSplitSize(qlonglong bytes)
{
    writer->setFileMaxSize(bytes);
}

float AsioController::bufferFill() const
{
    // Before the first driver sets a partition size the pool has no partitions: nothing is
    // buffered, and 0/0 would make the recorder look busy forever.
    // The pre-record's blocks wait for no writer.
    const int count = partitions->partitionCount();
    return count > 0 ? float(double(unsigned(capture->waitingBlocks())) / count) : 0.0f;
}

qint64 AsioController::bufferedBytes() const
{
    return qint64(quint32(partitions->partitionSize() * unsigned(capture->waitingBlocks())));
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

// ---- the driver ----

bool AsioController::initializeDriver(QString name, double sample_rate)
{
    setDriverToReconnect(name);
    reconnection->setRate(sample_rate);
    if (session->isStreaming())
        unloadCurrentDriver();
    if (!session->load(name))
        return false;
    capture->forgetResetRequest(); // a request of the driver before this one is no longer meant
    const bool initialized = session->init();
    capture->forgetResyncs();
    resyncsReported = 0;
    if (!initialized || !session->prepare(sample_rate))
        return false;
    appendInfo(tr("driver %1 initialized").arg(name), Qt::black);
    capture->resetMeters(sampleRate());
    // The pool is cut and the pre-record sized before the driver thread may use them.
    const qint64 n = session->inputBlockBytes();
    if (n > 0)
        partitions->setPartitionSize(unsigned(n));
    recording->applyCapture();
    session->startStreaming();
    reconnection->setRate(sampleRate());
    setDriverReady(true);
    return true;
}

void AsioController::unloadCurrentDriver()
{
    session->unload();
    capture->dropPreRecord();
    capture->resetMeters(sampleRate());
    setDriverReady(false);
}

void AsioController::reinitializeDriver(QString name, double sample_rate, bool onlyIfChanged)
{
    setEnabledMonitorAsio(false);
    const int currentRate = int(sampleRate());
    const int wantedRate = int(sample_rate);
    if (onlyIfChanged && driverName() == name && currentRate == wantedRate)
        return;
    if (AudioRates::isDsd(currentRate) && AudioRates::isDsd(wantedRate)) {
        // The driver changes between DSD rates only by way of PCM.
        unloadCurrentDriver();
        initializeDriver(name, 44100);
    }
    unloadCurrentDriver();
    initializeDriver(name, wantedRate);
}

void AsioController::shutDown()
{
    stopReconnecting();
    driverEvents->stop(); // the parts use the writer, which goes below
    if (capture->isRecording())
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

// ---- the driver's thread ----

void AsioController::processBuffer(unsigned char* data, long channel, ASIOSampleType sampleType,
                                   long bufferSize, long bufferIndex)
{
    capture->process(data, channel, sampleType, bufferSize, bufferIndex);
}

// GUI thread: what the driver's thread left since the last look, in the order it matters: a
// stopped recording is closed before a lost driver is torn down.
void AsioController::takeDriverEvents()
{
    const CapturePath::Events e = capture->takeEvents();
    if (e.badBuffer != CapturePath::BadBuffer::None)
        appendError(e.badBuffer == CapturePath::BadBuffer::Empty ? tr("sample data is empty")
                                                                 : tr("invalid buffer type"),
                    Qt::red);
    if (e.stop != CapturePath::Stop::None)
        recording->endByDriver(e.stop, e.stopBytes);
    if (e.resyncs != resyncsReported) {
        resyncsReported = e.resyncs;
        appendWarning(
            tr("the driver lost samples and resynchronised (%1 times since it was initialized)")
                .arg(e.resyncs));
    }
    const bool wasRecording = capture->isRecording();
    recording->takeCaptureEvents(e, deviceName());
    if (!wasRecording && capture->isRecording())
        space->start();
    if (e.silenceStop && capture->isRecording()) {
        recording->noteSilenceStop();
        stopRecording();
    }
    if (e.resetRequested)
        onDriverLost();
}

void AsioController::onDriverLost()
{
    recording->noteDeviceGone();
    session->stopStreaming();
    unloadCurrentDriver();
    emit unplugged();
}

// ---- recording ----

bool AsioController::setRecording(bool rec, bool overwrite)
{
    if (rec && !capture->isRecording() && captureSettings().armsOnLevel())
        return recording->arm(overwrite, deviceName());
    if (!rec && recording->isArmed()) {
        recording->disarm();
        return true;
    }
    if (rec == capture->isRecording())
        appendWarning(rec ? tr("recording already started") : tr("recording already stopped"));
    if (!rec) {
        recording->stop();
        space->check();
        return true;
    }
    if (!recording->start(overwrite, deviceName()))
        return false;
    space->start();
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
    settings.setValue(QStringLiteral("loopback_enabled"), isMonitorAsioEnabled());
    settings.setValue(QStringLiteral("auto_split_size"), qlonglong(fileMaxSize()));
    settings.setValue(QStringLiteral("embed_metadata"), isEmbedMetadataEnabled());
    settings.endGroup();
    captureSettings().save(settings);
}

void AsioController::loadIni(QString org, QString app, bool userScope)
{
    QSettings settings(QSettings::IniFormat,
                       userScope ? QSettings::UserScope : QSettings::SystemScope, org, app);
    settings.beginGroup(QStringLiteral("CONFIG"));
    bool loopback =
        settings.value(QStringLiteral("loopback_enabled"), isMonitorAsioEnabled()).toBool();
    const qlonglong split =
        settings.value(QStringLiteral("auto_split_size"), qlonglong(fileMaxSize())).toLongLong();
    setEmbedMetadata(
        settings.value(QStringLiteral("embed_metadata"), isEmbedMetadataEnabled()).toBool());
    settings.endGroup();
    QStringList problems;
    setCaptureSettings(CaptureSettings::load(settings, &problems));
    for (const QString& problem : problems)
        appendWarning(problem);
    configLoaded = true;
    if (isCurrentDriverForeign())
        loopback = false;
    setEnabledMonitorAsio(loopback);
    setAutoSplitSize(split);
}
