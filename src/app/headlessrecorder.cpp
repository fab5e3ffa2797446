#include "headlessrecorder.h"

#include "appidentity.h"
#include "asiocontroller.h"
#include "audiofilerepair.h"
#include "capturesettings.h"
#include "clockfilename.h"
#include "ctrlinitializer.h"
#include "ctrlsplitsizeadjuster.h"
#include "devicelist.h"
#include "diagnosticsink.h"
#include "quitonsignal.h"
#include "recordingdestination.h"

#include <cmath>

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>

namespace {

void printLine(const QString& line)
{
    DiagnosticSink::line("%s", qPrintable(line));
}

void printError(const QString& line)
{
    DiagnosticSink::error("%s", qPrintable(line));
}

} // namespace

HeadlessRecorder::HeadlessRecorder(const RecorderCore::Assembly& core,
                                   const CommandLine::Recording& options, QObject* parent)
    : QObject(parent), core(core), options(options)
{
    progressTimer.setInterval(1000);
    connect(&progressTimer, &QTimer::timeout, this, &HeadlessRecorder::printProgress);
    watchTimer.setInterval(100);
    connect(&watchTimer, &QTimer::timeout, this, &HeadlessRecorder::checkStillRecording);
    stopTimer.setSingleShot(true);
    // A coarse timer may fire 5 % early, which would cut 150 ms off a 3 s recording.
    stopTimer.setTimerType(Qt::PreciseTimer);
    connect(&stopTimer, &QTimer::timeout, this, &QCoreApplication::quit);
    giveUpTimer.setSingleShot(true);
    connect(&giveUpTimer, &QTimer::timeout, this, [this] {
        fail(tr("%1 stayed unplugged for %2 s")
                 .arg(this->core.controller->driverToReconnect())
                 .arg(this->options.giveUpAfter));
    });
}

int HeadlessRecorder::run()
{
    AsioController* controller = core.controller;
    failure = begin();
    const bool started = failure.isEmpty();
    if (started) {
        progressTimer.start();
        watchTimer.start();
        // Armed, the log has said what the recording waits for.
        if (controller->isArmed())
            armedFor.start();
        else
            onRecordingBegun();
        QCoreApplication::exec();
    }
    finish();
    // What went out on a stream is the reader's: there is no file to keep or remove.
    if (started && !options.toStandardOutput() && !keepIfItHoldsAudio(controller->fileName()) &&
        failure.isEmpty())
        failure = tr("stopped before recording began");
    if (!failure.isEmpty()) {
        printError(tr("tessaro-recorder: %1").arg(failure));
        return 1;
    }
    printLine(tr("finished %1").arg(destinationText()));
    return 0;
}

// Brings up the device and starts the recording; what stood in the way, else empty.
QString HeadlessRecorder::begin()
{
    AsioController* controller = core.controller;
    QString problem = bringUpDriver(chooseDevice());
    QString name;
    const bool stream = options.toStandardOutput();
    if (stream) {
        name = options.file;
    } else {
        options.file = ClockFileName::expand(options.file, QDateTime::currentDateTime());
        if (problem.isEmpty())
            problem = prepareDestination(&name);
    }
    if (!problem.isEmpty())
        return problem;
    watchForFailures();
    // A stream is one take however long: its reader has no use for parts.
    if (stream)
        controller->setAutoSplitSize(0);
    else
        core.adjuster->adjustSplitSize(name);
    controller->setFileName(name);
    // Ctrl+C while the device came up means: do not begin.
    if (!waitForPreRecord() || QuitOnSignal::stopRequested())
        return tr("stopped before recording began");
    // The controller's own path for a replacement the user asked for: it truncates the file
    // named and nothing else (split parts and tracks still take free names). Standard output
    // is never a file to number.
    if (!controller->startRecording(options.overwrite || stream))
        return tr("the recording could not start");
    return QString();
}

// The device given, else the one the window would bring up at start.
QString HeadlessRecorder::chooseDevice() const
{
    if (!options.device.isEmpty())
        return options.device;
    return CtrlInitializer::chooseDriver(core.controller->driverNames(), core.input.device,
                                         core.controller);
}

QString HeadlessRecorder::bringUpDriver(const QString& device)
{
    AsioController* controller = core.controller;
    // The window would wait for a remembered device that is away; a recording that cannot
    // begin now says so rather than record another device's signal.
    if (options.device.isEmpty() && !device.isEmpty() &&
        !controller->driverNames().contains(device))
        return tr("the device %1 is not present").arg(device);
    if (device.isEmpty() || !controller->driverNames().contains(device))
        return tr("no device named '%1' (--list-devices shows the devices)").arg(device);
    if (options.inputPair > 0)
        controller->setInputPair(options.inputPair);
    if (!controller->initializeDriver(device, options.rate) || !controller->isDriverReady())
        return tr("%1 cannot be started").arg(device);
    const int pair = controller->requestedInputPair();
    if (controller->inputPair() != pair)
        return tr("%1 has %2, not inputs %3,%4 (--list-devices shows the inputs of each device)")
            .arg(device, DeviceList::inputsText(controller->inputChannelCount()))
            .arg(2 * pair - 1)
            .arg(2 * pair);
    if (qRound64(controller->sampleRate()) != qRound64(options.rate)) {
        QStringList accepted;
        for (double r : controller->sampleRates())
            accepted << DeviceList::rateText(r);
        return tr("%1 refuses the rate %2 Hz (it accepts %3)")
            .arg(device, QString::number(options.rate, 'f', 0),
                 accepted.join(QStringLiteral(", ")));
    }
    // The monitoring choice and split size the window would use; read only.
    controller->loadIni(AppIdentity::organisation(), AppIdentity::application(), true);
    applyCaptureOptions();
    return QString();
}

void HeadlessRecorder::applyCaptureOptions()
{
    CaptureSettings settings = core.controller->captureSettings();
    for (const auto& option : qAsConst(options.capture))
        settings.set(CaptureSettings::fields()[size_t(option.first)], option.second);
    core.controller->setCaptureSettings(settings);
}

// A take that begins now begins the pre-record's seconds earlier: they are gathered first,
// unless a level starts the take (the pre-record then fills while it waits). False when a
// signal came meanwhile.
bool HeadlessRecorder::waitForPreRecord()
{
    AsioController* controller = core.controller;
    const double wanted = controller->preRecordCapacitySeconds();
    if (wanted <= 0 || controller->captureSettings().armsOnLevel())
        return true;
    printLine(tr("pre-recording %1 s").arg(wanted, 0, 'f', 1));
    QEventLoop loop;
    QTimer look;
    connect(&look, &QTimer::timeout, &loop, [&] {
        if (QuitOnSignal::stopRequested() || controller->preRecordedSeconds() >= wanted)
            loop.quit();
    });
    look.start(10);
    loop.exec();
    return !QuitOnSignal::stopRequested();
}

void HeadlessRecorder::onRecordingBegun()
{
    begun = true;
    AsioController* controller = core.controller;
    elapsed.start();
    printLine(tr("recording %1 to %2").arg(controller->sampleRateText(), destinationText()));
    if (options.seconds <= 0)
        return;
    if (!armedFor.isValid()) {
        stopTimer.start(qRound(options.seconds * 1000));
        return;
    }
    // The trigger came a moment before this look: the length counts the audio from it on, after
    // the pre-record it had gathered meanwhile.
    const double audio =
        options.seconds + qMin(controller->preRecordCapacitySeconds(), armedFor.elapsed() / 1000.0);
    lengthTimer.setInterval(10);
    connect(&lengthTimer, &QTimer::timeout, this, [this, audio] {
        if (core.controller->recordedSeconds() >= audio)
            QCoreApplication::quit();
    });
    lengthTimer.start();
}

QString HeadlessRecorder::prepareDestination(QString* name) const
{
    const QString dsdType =
        options.dsdType.isEmpty() ? core.input.default_dsd_type : options.dsdType;
    // As in the window, the name as given is checked before its extension is fitted, so a
    // folder is refused instead of quietly becoming a file beside it.
    const QString given = QDir::cleanPath(QFileInfo(options.file).absoluteFilePath());
    QString problem = RecordingDestination::problem(given);
    if (!problem.isEmpty())
        return tr("cannot record to %1: %2").arg(given, problem);
    *name = RecordingDestination::conformedName(options.file, core.controller->isDsd(), dsdType);
    problem = core.controller->recordingProblem(*name);
    if (!problem.isEmpty())
        return tr("cannot record to %1: %2").arg(*name, problem);
    return QString();
}

void HeadlessRecorder::watchForFailures()
{
    AsioController* controller = core.controller;
    connect(controller, &AsioController::unplugged, this, &HeadlessRecorder::onUnplugged);
    connect(controller, &AsioController::driverReady, this, &HeadlessRecorder::onDriverReady);
}

void HeadlessRecorder::fail(const QString& reason)
{
    if (failure.isEmpty())
        failure = reason;
    QCoreApplication::quit();
}

// The controller stops by itself when a write fails (it then names the reason) or when the
// RAM buffer overflows (its log says so).
void HeadlessRecorder::checkStillRecording()
{
    AsioController* controller = core.controller;
    if (controller->isRecording() && !begun)
        onRecordingBegun();
    if (controller->isRecording() || controller->isArmed())
        return;
    if (controller->stoppedOnSilence()) {
        printLine(tr("stopped after silence"));
        QCoreApplication::quit();
        return;
    }
    QString reason = controller->failureText();
    // A reader that closed its end of the pipe (| head -c 1000) has taken what it wanted, but
    // the take did not go where it was sent: the status says so, as a pipeline expects.
    if (!reason.isEmpty() && options.toStandardOutput())
        reason = tr("standard output: %1").arg(reason);
    fail(reason.isEmpty() ? tr("the recording stopped before its end")
                          : tr("recording stopped: %1").arg(reason));
}

void HeadlessRecorder::printProgress()
{
    AsioController* controller = core.controller;
    if (!begun) {
        printLine(tr("armed  peak %1").arg(peaksText()));
        return;
    }
    const QString file = controller->currentFileName();
    if (file != lastFile && !lastFile.isEmpty())
        finishedPartsBytes += QFileInfo(lastFile).size();
    lastFile = file;
    // A stream has no size to read back: what the device delivered is what went out.
    const qint64 written =
        options.toStandardOutput()
            ? qint64(controller->recordedSeconds() * double(controller->bytesPerSecond()))
            : finishedPartsBytes + QFileInfo(file).size();
    printLine(tr("%1  %2 MB written  RAM buffer %3 %  peak %4")
                  .arg(AsioController::clockText((elapsed.elapsed() + 500) / 1000))
                  .arg(double(written) / 1e6, 0, 'f', 1)
                  .arg(double(controller->bufferFill()) * 100.0, 0, 'f', 1)
                  .arg(peaksText()));
}

// The highest level of each input since the previous line, in dB of the mode's reference
// (PCM full scale, DSD 50 % modulation), with the clips seen meanwhile.
QString HeadlessRecorder::peaksText() const
{
    QStringList inputs;
    for (int i = 0; i < AsioController::kMeteredInputs; ++i) {
        LevelMeter& meter = core.controller->levelMeter(i);
        const float peak = meter.takePeak();
        QString text = peak > 0 ? QString::number(20.0 * std::log10(double(peak)), 'f', 1)
                                : QStringLiteral("-inf");
        if (meter.takeClip())
            text += tr(" CLIP");
        inputs << text;
    }
    return tr("%1 dB").arg(inputs.join(QStringLiteral(" / ")));
}

void HeadlessRecorder::onUnplugged()
{
    printLine(tr("%1 unplugged; waiting for it").arg(core.controller->driverToReconnect()));
    if (options.giveUpAfter >= 0 && !giveUpTimer.isActive())
        giveUpTimer.start(qRound(options.giveUpAfter * 1000));
}

void HeadlessRecorder::onDriverReady()
{
    giveUpTimer.stop();
}

// A take stopped before its first block reached the disk is a header without audio: it is
// removed rather than left to be mistaken for a recording. True when the file is kept: it holds
// audio, or it cannot be read as one of ours (it is then left alone, whatever it holds).
bool HeadlessRecorder::keepIfItHoldsAudio(const QString& name) const
{
    if (!QFileInfo::exists(name))
        return false;
    const AudioFileRepair::Result closed = AudioFileRepair::repair(name);
    if (closed.outcome == AudioFileRepair::Outcome::Refused || closed.seconds > 0.0)
        return true;
    if (!QFile::remove(name))
        printLine(tr("%1 holds no audio but cannot be removed").arg(name));
    return false;
}

QString HeadlessRecorder::destinationText() const
{
    return options.toStandardOutput() ? tr("standard output") : core.controller->fileName();
}

void HeadlessRecorder::finish()
{
    progressTimer.stop();
    stopTimer.stop();
    giveUpTimer.stop();
    lengthTimer.stop();
    watchTimer.stop();
    core.controller->shutDown();
}
