#include "recordingcontrol.h"

#include "audiofilewriter.h"
#include "audiorates.h"
#include "controllerlog.h"
#include "driversession.h"
#include "nextnumberedname.h"
#include "partitionmanager.h"
#include "takelog.h"

#include <QDir>
#include <QFileInfo>

RecordingControl::RecordingControl(CapturePath& capture, const DriverSession& session,
                                   PartitionManager* partitions, AudioFileWriter* writer,
                                   TakeLog& takeLog, ControllerLog& log)
    : capture(capture), session(session), partitions(partitions), writer(writer), takeLog(takeLog),
      log(log)
{}

QString RecordingControl::currentFileName() const
{
    return writer ? writer->fileName() : QString();
}

qint64 RecordingControl::samplesSince(qint64 mark) const
{
    return capture.recordedSamples() - mark;
}

// Armed, no recording has begun yet: the clock stands at 0.
double RecordingControl::recordedSeconds() const
{
    const double rate = session.sampleRate();
    return rate > 0 && !armed ? double(samplesSince(recordingStart)) / rate : 0.0;
}

double RecordingControl::trackSeconds() const
{
    const double rate = session.sampleRate();
    return rate > 0 && !armed ? double(samplesSince(trackStart)) / rate : 0.0;
}

int RecordingControl::fileTypeFromName(const QString& name)
{
    if (name.endsWith(QLatin1String("dsf"), Qt::CaseInsensitive))
        return 2;
    if (name.endsWith(QLatin1String("dff"), Qt::CaseInsensitive))
        return 1;
    return 0;
}

bool RecordingControl::setFileName(const QString& name)
{
    if (name == fileName_)
        return true;
    if (capture.isRecording())
        log.appendWarning(
            tr("changing filename while recording wont be applied until next restart"));
    fileName_ = name;
    setFileType(fileTypeFromName(name));
    return true;
}

bool RecordingControl::setFileType(int type)
{
    if (type == fileType_)
        return true;
    if (capture.isRecording())
        log.appendWarning(
            tr("changing file type while recording wont be applied until next restart"));
    fileType_ = type;
    return true;
}

void RecordingControl::stop()
{
    if (capture.isRecording())
        reportDropouts();
    capture.stopAndWait();
    writer->closeFile();
    gapClock.invalidate();
    applyCapture();
}

bool RecordingControl::canStart()
{
    const int partitionCount = partitions->partitionCount();
    if (!capture.isRecording() && partitionCount > 0 && capture.waitingBlocks() > 0) {
        log.appendError(tr("flushing still in progress"), Qt::red);
        return false;
    }
    // A container never holds data of the other kind: WAV takes PCM, DSF and DSDIFF take DSD.
    const bool dsd = AudioRates::isDsd(session.sampleRate());
    if ((fileType_ != 0) != dsd) {
        log.appendError(tr("'%1' cannot hold %2 data").arg(fileName_, dsd ? "DSD" : "PCM"),
                        Qt::red);
        return false;
    }
    return true;
}

bool RecordingControl::start(bool overwrite, const QString& device)
{
    if (!canStart())
        return false;
    const double rate = session.sampleRate();
    if (!overwrite && QFileInfo::exists(fileName_))
        setFileName(uniqueFileName(fileName_));
    failureText_.clear();
    silenceStopped = false;
    capture.clearDropouts();
    // The writer starts first: blocks queued before its start belong to no recording. The
    // file's first sample is the pre-record's.
    const qint64 before =
        qint64(qMin(capture.preRecordedFrames(), rings.preRecordFrames)) * session.bufferSize();
    describeNextFile(device, before);
    writer->setTrackStem(stripTrackNumber(fileName_));
    writer->start(fileName_, fileType_, 2, 32, int(rate), overwrite);
    recordingStart = trackStart = capture.recordedSamples();
    capture.setTrackStart(trackStart);
    takeLog.startTake();
    capture.startRecording();
    // Only now: until the recording has begun, the capture path keeps the trigger's place.
    capture.setArmed(false);
    armed = false;
    return true;
}

void RecordingControl::recordNextTrack(const QString& device)
{
    if (!capture.isRecording())
        return;
    // A track that no audio has reached yet would stay an empty file.
    if (samplesSince(trackStart) <= 0) {
        log.appendDebug(tr("next track ignored: the current track holds no audio yet"));
        return;
    }
    // A track the writer has not created on disk yet is not seen by the free-name search;
    // reusing its name would truncate it when the next track opens.
    QString next = nextTrackFileName(fileName_);
    while (next == writer->fileName())
        next = uniqueFileName(nextNumberedName(next, QStringLiteral("_")));
    describeNextFile(device);
    writer->start(next, fileType_, 2, 32, int(session.sampleRate()));
    trackStart = capture.recordedSamples();
    capture.setTrackStart(trackStart);
    takeLog.startTrack();
}

// The first sample of the file is the one the next buffer brings: the time is taken now.
void RecordingControl::describeNextFile(const QString& device, qint64 samplesBefore)
{
    writer->setMetadata(embedMetadata
                            ? RecordingMetadata::startingNow(device).advancedBy(-samplesBefore)
                            : RecordingMetadata());
}

QString RecordingControl::stripTrackNumber(const QString& path)
{
    const QFileInfo info(path);
    // Only the extension goes: "Konzert 12.05.2024.wav" keeps its dotted date.
    QString base = info.completeBaseName();
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

QString RecordingControl::uniqueFileName(const QString& path)
{
    QString name = path;
    while (QFileInfo::exists(name))
        name = nextNumberedName(name, QStringLiteral("_"));
    return name;
}

QString RecordingControl::nextTrackFileName(const QString& path)
{
    return uniqueFileName(stripTrackNumber(path));
}

QString RecordingControl::clockText(qint64 seconds, int hourDigits)
{
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600, hourDigits, 10, QLatin1Char('0'))
        .arg((seconds / 60) % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

// ---- takes that end by themselves ----

void RecordingControl::reportDropouts()
{
    const unsigned n = capture.dropoutCount();
    if (n == 0)
        return;
    const QString name = QFileInfo(fileName_).fileName();
    log.appendWarning(n == 1 ? tr("1 dropout during %1").arg(name)
                             : tr("%1 dropouts during %2").arg(n).arg(name));
}

void RecordingControl::endByDriver(CapturePath::Stop stop, qint64 bytes)
{
    const unsigned partition = partitions->partitionSize();
    const bool full = stop == CapturePath::Stop::BufferFull;
    log.appendError(full ? tr("buffer is full")
                         : tr("buffer of %1 bytes does not fit a partition of %2 bytes")
                               .arg(bytes)
                               .arg(partition),
                    Qt::red);
    failureText_ = full ? tr("RAM buffer full (the disk is too slow)")
                        : tr("a driver buffer of %1 bytes does not fit the RAM buffer's "
                             "partitions of %2 bytes")
                              .arg(bytes)
                              .arg(partition);
    reportDropouts();
    writer->closeFile();
    applyCapture();
}

// The writer names the file and ends its message with the system's reason. A destination it
// cannot open or write ends the recording: the writer already gives every block back, and
// closing makes it finish the file and return to idle.
void RecordingControl::onWriterError(int code, const QString& msg)
{
    log.appendError(tr("writer error %1: %2").arg(code).arg(msg), Qt::red);
    const bool destinationFailed = code == 1 || code == 4 || code == 5;
    if (!destinationFailed)
        return;
    failureText_ = msg.section(QStringLiteral(": "), -1);
    if (capture.stopAndWait())
        writer->closeFile();
}

// Another program created the file between the choice of its name and the writer's open: the
// take went to the next free name, which from now on is the destination the user sees.
void RecordingControl::onFileNameTaken(const QString& asked, const QString& used)
{
    log.appendWarning(
        tr("'%1' was created by another program meanwhile; recording to '%2'").arg(asked, used));
    if (fileName_ == asked)
        fileName_ = used;
}

void RecordingControl::noteDeviceGone()
{
    if (!capture.isRecording() || gapClock.isValid())
        return;
    gapClock.start();
    gapPosition = samplesSince(trackStart);
    gapFile = currentFileName();
}

void RecordingControl::reportGap()
{
    if (!gapClock.isValid())
        return;
    const double seconds = gapClock.elapsed() / 1000.0;
    gapClock.invalidate();
    const double rate = session.sampleRate();
    if (!capture.isRecording() || rate <= 0)
        return;
    log.appendWarning(tr("gap of %1 s at %2 in %3")
                          .arg(seconds, 0, 'f', 1)
                          .arg(clockText(qint64(double(gapPosition) / rate)))
                          .arg(QFileInfo(gapFile).fileName()));
}

// ---- hands-free capture ----

void RecordingControl::setCaptureSettings(const CaptureSettings& value)
{
    if (value != settings)
        ringsPending = true;
    settings = value;
    applyCapture();
}

// The levels apply at once; the rings, which a recording uses, only while none runs.
void RecordingControl::applyCapture()
{
    const double rate = session.sampleRate();
    const long bufferSize = session.bufferSize();
    if (rate <= 0 || bufferSize <= 0)
        return;
    capture.gate().configure(settings.limits(rate));
    if (capture.isRecording())
        return;
    QString shortened;
    const CapturePath::Rings wanted =
        settings.rings(rate, bufferSize, partitions->partitionCount(), &shortened);
    const bool changed = wanted.preRecordFrames != rings.preRecordFrames ||
                         wanted.triggerFrames != rings.triggerFrames ||
                         wanted.holdFrames != rings.holdFrames;
    if (!changed && !ringsPending)
        return;
    if (!shortened.isEmpty())
        log.appendWarning(shortened);
    rings = wanted;
    ringsPending = false;
    capture.configureRings(rings);
}

bool RecordingControl::arm(bool overwrite, const QString& device)
{
    Q_UNUSED(device);
    if (!canStart())
        return false;
    armed = true;
    armedOverwrite = overwrite;
    silenceStopped = false;
    capture.setArmed(true);
    log.appendInfo(CaptureSettings::armedText(settings.startLevelDb));
    return true;
}

void RecordingControl::disarm()
{
    if (!armed)
        return;
    armed = false;
    capture.setArmed(false);
    log.appendInfo(tr("disarmed"));
}

void RecordingControl::takeCaptureEvents(const CapturePath::Events& events, const QString& device)
{
    if (events.triggered && armed) {
        log.appendInfo(tr("a signal reached %1: recording starts")
                           .arg(CaptureSettings::levelText(settings.startLevelDb)));
        if (!start(armedOverwrite, device))
            disarm();
    }
    if (events.newTracks == 0 || !capture.isRecording())
        return;
    trackStart = capture.trackStart();
    for (unsigned i = 0; i < events.newTracks; ++i)
        takeLog.startTrack();
    log.appendInfo(tr("silence of %1 s or more ended: track %2 begins")
                       .arg(settings.splitOnSilenceSeconds)
                       .arg(takeLog.trackNumber()));
}

void RecordingControl::noteSilenceStop()
{
    silenceStopped = true;
    log.appendInfo(tr("the inputs stayed below %1 for %2 s: recording stopped")
                       .arg(CaptureSettings::levelText(settings.silenceLevelDb))
                       .arg(settings.stopAfterSilenceSeconds));
}

double RecordingControl::preRecordedSeconds() const
{
    const double rate = session.sampleRate();
    const int frames = qMin(capture.preRecordedFrames(), rings.preRecordFrames);
    return rate > 0 ? double(frames) * double(session.bufferSize()) / rate : 0.0;
}

double RecordingControl::preRecordCapacitySeconds() const
{
    const double rate = session.sampleRate();
    return rate > 0 ? double(rings.preRecordFrames) * double(session.bufferSize()) / rate : 0.0;
}
