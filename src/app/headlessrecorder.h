#ifndef TESSARO_HEADLESSRECORDER_H
#define TESSARO_HEADLESSRECORDER_H

#include "commandline.h"
#include "recordercore.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

// Records one file without a window, through the same controller calls as the window: brings
// up the chosen driver at the chosen rate, starts the recording, prints a progress line on
// standard error once a second and stops after the given time, at SIGINT/SIGTERM/SIGHUP (the
// caller's QuitOnSignal ends the loop) or at a failure. The controller's shutDown then drains
// the RAM buffer and closes the file with its final header; a take that got no audio leaves no
// file. Standard output stays empty, unless the file is "-": the take then goes out there as a
// WAV stream (never split, no file left behind). The settings file is only read. With a start
// level the recording is armed first and its time counts from the trigger; a pre-record is
// filled before the start; a stop after silence is a clean finish.
//
// Threads: GUI (main) thread only. A recording that stops by itself (a failed write, a full
// RAM buffer) is noticed by polling the controller, as the window does.
class HeadlessRecorder : public QObject
{
    Q_OBJECT
public:
    HeadlessRecorder(const RecorderCore::Assembly& core, const CommandLine::Recording& options,
                     QObject* parent = nullptr);

    // Runs the event loop for the recording; the process exit status: 0 for a clean finish,
    // 1 with one line on standard error when the recording failed, could not start or was
    // stopped before its first block reached the file.
    int run();

private:
    QString begin();
    QString chooseDevice() const;
    QString bringUpDriver(const QString& device);
    QString prepareDestination(QString* name) const;
    void watchForFailures();
    void applyCaptureOptions();
    bool waitForPreRecord();
    void onRecordingBegun();
    void fail(const QString& reason);
    void checkStillRecording();
    void printProgress();
    QString peaksText() const;
    void onUnplugged();
    void onDriverReady();
    void finish();
    QString destinationText() const;
    bool keepIfItHoldsAudio(const QString& name) const;

    RecorderCore::Assembly core;
    CommandLine::Recording options;
    QTimer progressTimer;
    QTimer watchTimer;
    QTimer stopTimer;
    QTimer giveUpTimer;
    QTimer lengthTimer; // an armed take ends by the audio recorded since its trigger
    QElapsedTimer elapsed;
    QElapsedTimer armedFor;
    QString failure;
    QString lastFile;
    qint64 finishedPartsBytes = 0;
    bool begun = false; // armed on a level, the recording has not begun before the trigger
};

#endif
