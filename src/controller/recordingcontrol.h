#ifndef TESSARO_RECORDINGCONTROL_H
#define TESSARO_RECORDINGCONTROL_H

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>

#include "capturepath.h"

class AudioFileWriter;
class ControllerLog;
class DriverSession;
class PartitionManager;
class TakeLog;

// Starting, stopping and continuing a recording: the destination and its file type, the names
// of tracks and of free files, what the writer is told about each file, why a take ended by
// itself, and the gap an unplug leaves in a running take.
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
    void describeNextFile(const QString& device);

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
};

#endif
