#ifndef TESSARO_ASIOCONTROLLER_H
#define TESSARO_ASIOCONTROLLER_H

#include "asio.h"
#include "audiobufferprocessor.h"
#include "controllerlog.h"
#include "levelmeter.h"

#include <QColor>
#include <QList>
#include <QObject>
#include <QScopedPointer>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <atomic>

class AsioDrivers;
class AsioHostState;
class AudioFileWriter;
class CapturePath;
struct CaptureSettings;
class DriverSession;
class FreeSpaceWatch;
class PartitionManager;
class Reconnection;
class RecordingControl;
class TakeLog;

// The recorder's controller as the window, the command line and the tests see it: every
// operation, signal and log message of recording, each carried out by one of its parts.
// CapturePath handles every driver buffer on the driver's thread; DriverSession runs the
// driver's life; RecordingControl starts, stops and continues recordings; FreeSpaceWatch
// watches the destination's disk; Reconnection brings a lost device back. The controller
// itself keeps the log, the driver-ready state, the settings, and the collection of the driver
// thread's events.
//
// Threads: every slot and query on the GUI thread. processBuffer, driverResetRequested and
// driverResyncRequested on the driver's thread, handed straight to the capture path, which
// leaves what needs the GUI thread in atomic events that a 50 ms timer collects here (posting
// an event would allocate on the driver thread). The meters are read by the GUI thread (see
// LevelMeter).
class AsioController : public QObject, public AudioBufferProcessor, public ControllerLog
{
    Q_OBJECT
public:
    AsioController(AsioHostState* host, QSharedPointer<AsioDrivers> drivers,
                   QSharedPointer<PartitionManager> partitions,
                   QSharedPointer<AudioFileWriter> writer, QObject* parent = nullptr);
    ~AsioController() override;
    virtual QStringList driverNames() const;
    virtual QList<double> sampleRates() const;
    virtual QString firstSupportedDriver(const QStringList& names) const;
    virtual bool isForeignDriver(const QString& name) const;
    virtual bool isCurrentDriverForeign() const;
    virtual bool isDriverReady() const;
    virtual bool isStreaming() const;
    virtual bool isRecording() const;
    virtual QString logSource() const;
    virtual QString asioErrorText(ASIOError code) const;
    virtual bool isIdle() const;
    virtual QString driverName() const;
    virtual QString driverToReconnect() const;
    virtual double sampleRate() const;
    virtual QString sampleRateText() const;
    virtual bool isPcm() const;
    virtual bool isDsd() const;
    virtual double dsdMultiplier() const;
    virtual long bufferSize() const;
    virtual const QString& fileName() const;
    virtual int fileType() const;
    virtual float bufferFill() const;
    virtual qint64 bufferedBytes() const;
    virtual qint64 fileMaxSize() const;
    virtual qint64 autoSplitSize() const;
    virtual QString currentFileName() const;
    virtual bool isMonitorAsioEnabled() const;
    // Whether new files say when and from which device they were recorded.
    bool isEmbedMetadataEnabled() const;
    virtual bool isReconnecting() const;
    virtual bool isSlowDrive() const;
    virtual bool canRecordNextTrack() const;
    // The driver in use, or while none is ready the one being waited for: what the user
    // chose and what is remembered as the device.
    virtual QString deviceName() const;
    // Bytes the current mode stores per second: PCM 2 channels of 4 bytes, DSD 2 bits.
    virtual qint64 bytesPerSecond() const;
    // Length of the audio recorded since the start, across tracks and unplugs: what the
    // files hold, not the wall-clock time.
    virtual double recordedSeconds() const;
    // The same for the current track.
    virtual double trackSeconds() const;
    // The files of the recording in the log, and the number of its current track.
    const TakeLog& takeLog() const { return *takeLog_; }
    // Recording time left on the destination's disk at the current rate, refreshed once a
    // second while recording; -1 when not recording or unknown.
    virtual qint64 secondsLeft() const;
    // Why a recording to name cannot start (a destination it cannot be written to, or less
    // than a minute of free space); empty when it can.
    virtual QString recordingProblem(const QString& name) const;
    // Why the last recording stopped by itself (the system's reason, for example "No space
    // left on device", or a full RAM buffer); empty when it did not. Cleared when the next
    // recording starts.
    virtual QString failureText() const;
    // The meter of recorded input 0 (left) or 1 (right), for the GUI thread.
    virtual LevelMeter& levelMeter(int input);
    // Driver resynchronisations and blocks lost to a full RAM buffer since the recording
    // started.
    virtual unsigned dropoutCount() const;
    // Hands-free capture: with a start level the record button arms, and the recording starts
    // when an input reaches it; stop disarms.
    const CaptureSettings& captureSettings() const;
    bool isArmed() const;
    // The last recording was stopped by the stop after silence.
    bool stoppedOnSilence() const;
    // The pre-record a start would write now, and the most the RAM buffer keeps at this rate.
    double preRecordedSeconds() const;
    double preRecordCapacitySeconds() const;

    static constexpr int kMeteredInputs = 2; // as CapturePath::kMeteredInputs

    static double bytesPerSample(ASIOSampleType type);
    static QString ioFormatText(long type);
    // "h:mm:ss" with at least hourDigits digits of hours.
    static QString clockText(qint64 seconds, int hourDigits = 2);

    // AudioBufferProcessor, driver thread only: no allocation for sample data, no I/O.
    void processBuffer(unsigned char* data, long channel, ASIOSampleType sampleType,
                       long bufferSize, long bufferIndex) override;
    void driverResetRequested() override;
    void driverResyncRequested() override;

signals:
    void logMsg(QString msg, QString type, QString source, QColor color, QColor bgColor);
    void logMsg(QString msg, QString type, QString source, QColor color);
    void driverReady();
    void driverUnloaded();
    void unplugged();

public slots:
    virtual void setEnabledReverseBit(bool enabled);
    virtual void setEnabledMonitorAsio(bool enabled);
    virtual void setAutoSplitSize(qlonglong bytes);
    void setEmbedMetadata(bool enabled);
    void setCaptureSettings(const CaptureSettings& settings);
    virtual void scanDrivers();
    virtual void filterDrivers();
    virtual void scanSamplingRate();
    virtual bool initializeDriver(QString name, double sample_rate);
    virtual bool initializeAgain();
    virtual void unloadCurrentDriver();
    virtual void reinitializeDriver(QString name, double sample_rate, bool onlyIfChanged);
    virtual bool refreshInfo();
    virtual bool setFileName(QString fname);
    virtual bool setFileType(int type);
    virtual bool startRecording(bool overwrite = false);
    virtual bool stopRecording();
    virtual bool setRecording(bool rec, bool overwrite);
    virtual void recordNextTrack();
    virtual void saveIni(QString org, QString app, bool userScope = true);
    virtual void loadIni(QString org, QString app, bool userScope = true);
    virtual void setDriverToReconnect(QString driver);
    virtual void startReconnecting();
    virtual void stopReconnecting();
    // The last call before the process ends: stops any recording and the stream, then waits
    // until the writer has stored everything still queued and closed the file with its final
    // header. Nothing of the controller is used afterwards.
    virtual void shutDown();
    virtual void appendLogMsg(QString msg, QString type, QString source, QColor color = Qt::black,
                              QColor bgColor = Qt::white);
    void appendDebug(QString msg) override;
    void appendInfo(QString msg, QColor col = Qt::black) override;
    void appendWarning(QString msg, QColor col = QColor(204, 100, 0)) override;
    void appendError(QString msg, QColor col = Qt::red) override;

    // The parts, for tests and benchmarks that drive one directly.
    CapturePath& capturePath() { return *capture; }
    DriverSession& driverSession() { return *session; }

private:
    void setDriverReady(bool ready);
    void takeDriverEvents();
    void onDriverLost();

    std::atomic<bool> driverReady_{false};
    unsigned resyncsReported = 0; // the resyncs already logged
    // CONFIG is saved only once it was read, so a stored value never gives way to a default.
    bool configLoaded = false;
    QSharedPointer<PartitionManager> partitions;
    QSharedPointer<AudioFileWriter> writer;
    TakeLog* takeLog_;
    QScopedPointer<CapturePath> capture;
    QScopedPointer<DriverSession> session;
    QScopedPointer<RecordingControl> recording;
    QScopedPointer<FreeSpaceWatch> space;
    QScopedPointer<Reconnection> reconnection;
    QTimer* driverEvents = nullptr;
};

#endif
