#ifndef TESSARO_RECORDINGCONTROL_H
#define TESSARO_RECORDINGCONTROL_H

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>

#include "capturepath.h"
#include "capturesettings.h"

class AudioFileWriter;
class ControllerLog;
class DriverSession;
class PartitionManager;
class TakeLog;

// Starting, stopping and continuing a recording: the destination and its file type, the names
// of tracks and of free files, what the writer is told about each file, why a take ended by
// itself, and the gap an unplug leaves in a running take. With hands-free capture it also arms
// the start on a level, starts when the capture path reports the trigger, and follows the
// tracks that gaps begin.
//
// Threads: GUI thread only. It drives the capture path through its flags and its stop
// handshake, and the writer through its thread-safe operations; the marks into the capture
// path's sample count and the gap clock are its own. The pool and the writer belong to the
// controller, which uses this part no more once it has let the writer go (shutDown).
class RecordingControl
{
    Q_DECLARE_TR_FUNCTIONS(RecordingControl)
public:
    RecordingControl(CapturePath& capture, const DriverSession& session,
                     PartitionManager* partitions, AudioFileWriter* writer, TakeLog& takeLog,
                     ControllerLog& log);

    // The name without a track number ("_0007") at its end.
    static QString stripTrackNumber(const QString& path);
    // path, or the first numbered name after it that no file has.
    static QString uniqueFileName(const QString& path);
    static QString nextTrackFileName(const QString& path);
    // 0 WAV, 1 DFF, 2 DSF, from the end of the name.
    static int fileTypeFromName(const QString& name);
    // "h:mm:ss" with at least hourDigits digits of hours.
    static QString clockText(qint64 seconds, int hourDigits = 2);

    const QString& fileName() const { return fileName_; }
    int fileType() const { return fileType_; }
    QString currentFileName() const;
    QString failureText() const { return failureText_; }
    bool isEmbedMetadataEnabled() const { return embedMetadata; }
    void setEmbedMetadata(bool enabled) { embedMetadata = enabled; }
    double recordedSeconds() const;
    double trackSeconds() const;

    bool setFileName(const QString& name);
    bool setFileType(int type);
    // device: what the new file says it was recorded from.
    bool start(bool overwrite, const QString& device);
    void stop();
    void recordNextTrack(const QString& device);

    // Hands-free capture. The rings of the capture path are sized now when nothing records,
    // else after the stop.
    void setCaptureSettings(const CaptureSettings& settings);
    const CaptureSettings& captureSettings() const { return settings; }
    void applyCapture();
    // The start on a level: checked as a start is, then waits for the trigger.
    bool arm(bool overwrite, const QString& device);
    void disarm();
    bool isArmed() const { return armed; }
    // A trigger, and the tracks begun at gaps (the stop after silence is the controller's).
    void takeCaptureEvents(const CapturePath::Events& events, const QString& device);
    void noteSilenceStop();
    bool stoppedOnSilence() const { return silenceStopped; }
    // The pre-record a start would write now, and the most it keeps.
    double preRecordedSeconds() const;
    double preRecordCapacitySeconds() const;

    // A recording the driver's thread ended (see CapturePath::Events).
    void endByDriver(CapturePath::Stop stop, qint64 bytes);
    void onWriterError(int code, const QString& msg);
    void onFileNameTaken(const QString& asked, const QString& used);
    // The device went away: a running take remembers where, for reportGap once it is back.
    void noteDeviceGone();
    void reportGap();

private:
    qint64 samplesSince(qint64 mark) const;
    void reportDropouts();
    void describeNextFile(const QString& device, qint64 samplesBefore = 0);
    bool canStart();

    CapturePath& capture;
    const DriverSession& session;
    PartitionManager* partitions;
    AudioFileWriter* writer;
    TakeLog& takeLog;
    ControllerLog& log;
    QString fileName_;
    int fileType_ = 0;
    QString failureText_;
    bool embedMetadata = true;
    qint64 recordingStart = 0; // the capture path's sample count at the start of the recording
    qint64 trackStart = 0;     // ... and of the current track
    QElapsedTimer gapClock;    // runs from an unplug during a recording until the replug
    qint64 gapPosition = 0;    // samples into the track when the device went
    QString gapFile;
    CaptureSettings settings;
    CapturePath::Rings rings; // as the capture path has them
    bool ringsPending = true; // settings or the driver changed since the rings were sized
    bool armed = false;
    bool armedOverwrite = false;
    bool silenceStopped = false; // the last recording ended after silence
};

#endif
