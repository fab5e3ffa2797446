#ifndef TESSARO_ASIOCONTROLLER_H
#define TESSARO_ASIOCONTROLLER_H

#include "asio.h"
#include "audiobufferprocessor.h"
#include "audiorates.h"
#include "capturepath.h"
#include "controllerlog.h"
#include "driversession.h"
#include "freespacewatch.h"
#include "levelmeter.h"
#include "reconnection.h"
#include "recordingcontrol.h"

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
class PartitionManager;
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
    virtual QStringList driverNames() const { return session->driverNames(); }
    virtual QList<double> sampleRates() const { return session->sampleRates(); }
    virtual QString firstSupportedDriver(const QStringList& names) const;
    virtual bool isForeignDriver(const QString& name) const;
    virtual bool isCurrentDriverForeign() const { return isForeignDriver(driverName()); }
    virtual bool isDriverReady() const { return driverReady_; }
    virtual bool isStreaming() const { return session->isStreaming(); }
    virtual bool isRecording() const { return capture->isRecording(); }
    virtual QString logSource() const { return QStringLiteral("Controller"); }
    virtual QString asioErrorText(ASIOError code) const { return DriverSession::errorText(code); }
    virtual bool isIdle() const { return !isRecording() && bufferFill() <= 0; }
    virtual QString driverName() const { return session->driverName(); }
    virtual QString driverToReconnect() const { return reconnection->driver(); }
    virtual double sampleRate() const { return session->sampleRate(); }
    virtual QString sampleRateText() const { return session->sampleRateText(); }
    virtual bool isPcm() const { return sampleRate() > 0 && sampleRate() < AudioRates::kDsdBase; }
    virtual bool isDsd() const { return AudioRates::isDsd(sampleRate()); }
    virtual double dsdMultiplier() const;
    virtual long bufferSize() const { return session->bufferSize(); }
    virtual const QString& fileName() const { return recording->fileName(); }
    virtual int fileType() const { return recording->fileType(); }
    virtual float bufferFill() const;
    virtual qint64 bufferedBytes() const;
    virtual qint64 fileMaxSize() const;
    virtual qint64 autoSplitSize() const { return fileMaxSize(); }
    virtual QString currentFileName() const;
    virtual bool isMonitorAsioEnabled() const { return capture->isMonitoring(); }
    // Whether new files say when and from which device they were recorded.
    bool isEmbedMetadataEnabled() const { return recording->isEmbedMetadataEnabled(); }
    // The inputs the driver offers, and the pair of adjacent ones recorded: 1 for inputs 1-2,
    // 2 for 3-4, ... The pair set applies from the next initialisation; one the device does
    // not have gives way to inputs 1-2 (and says so in the log), and is still the one asked for.
    long inputChannelCount() const { return session->inputCount(); }
    int inputPair() const { return session->inputPair(); }
    int requestedInputPair() const { return session->requestedInputPair(); }
    void setInputPair(int pair) { session->setInputPair(pair); }
    // Why the chosen driver would not start, in its words, where its device is not simply
    // away (a card another program holds); empty otherwise.
    QString driverProblem() const { return session->problem(); }
    virtual bool isReconnecting() const { return reconnection->isActive(); }
    virtual bool isSlowDrive() const { return bufferedBytes() > 512000; }
    virtual bool canRecordNextTrack() const { return !isSlowDrive(); }
    // The driver in use, or while none is ready the one being waited for: what the user
    // chose and what is remembered as the device.
    virtual QString deviceName() const;
    // Bytes the current mode stores per second: PCM 2 channels of 4 bytes, DSD 2 bits.
    virtual qint64 bytesPerSecond() const;
    // Length of the audio recorded since the start, across tracks and unplugs: what the
    // files hold, not the wall-clock time.
    virtual double recordedSeconds() const { return recording->recordedSeconds(); }
    // The same for the current track.
    virtual double trackSeconds() const { return recording->trackSeconds(); }
    // The files of the recording in the log, and the number of its current track.
    const TakeLog& takeLog() const { return *takeLog_; }
    // Recording time left on the destination's disk at the current rate, refreshed once a
    // second while recording; -1 when not recording or unknown.
    virtual qint64 secondsLeft() const { return space->secondsLeft(); }
    // Why a recording to name cannot start (a destination it cannot be written to, or less
    // than a minute of free space); empty when it can.
    virtual QString recordingProblem(const QString& name) const;
    // Why the last recording stopped by itself (the system's reason, for example "No space
    // left on device", or a full RAM buffer); empty when it did not. Cleared when the next
    // recording starts.
    virtual QString failureText() const { return recording->failureText(); }
    // The meter of recorded input 0 (left) or 1 (right), for the GUI thread.
    virtual LevelMeter& levelMeter(int input) { return capture->levelMeter(input); }
    // Driver resynchronisations and blocks lost to a full RAM buffer since the recording
    // started.
    virtual unsigned dropoutCount() const { return capture->dropoutCount(); }
    // Hands-free capture: with a start level the record button arms, and the recording starts
    // when an input reaches it; stop disarms.
    const CaptureSettings& captureSettings() const { return recording->captureSettings(); }
    bool isArmed() const { return recording->isArmed(); }
    // The last recording was stopped by the stop after silence.
    bool stoppedOnSilence() const { return recording->stoppedOnSilence(); }
    // The pre-record a start would write now, and the most the RAM buffer keeps at this rate.
    double preRecordedSeconds() const { return recording->preRecordedSeconds(); }
    double preRecordCapacitySeconds() const { return recording->preRecordCapacitySeconds(); }

    static constexpr int kMeteredInputs = 2; // as CapturePath::kMeteredInputs

    static double bytesPerSample(ASIOSampleType type) { return CapturePath::bytesPerSample(type); }
    static QString ioFormatText(long type) { return DriverSession::ioFormatText(type); }
    // "h:mm:ss" with at least hourDigits digits of hours.
    static QString clockText(qint64 seconds, int hourDigits = 2);

    // AudioBufferProcessor, driver thread only: no allocation for sample data, no I/O.
    void processBuffer(unsigned char* data, long channel, ASIOSampleType sampleType,
                       long bufferSize, long bufferIndex) override;
    void driverResetRequested() override { capture->driverResetRequested(); }
    void driverResyncRequested() override { capture->driverResyncRequested(); }

signals:
    void logMsg(QString msg, QString type, QString source, QColor color, QColor bgColor);
    void logMsg(QString msg, QString type, QString source, QColor color);
    void driverReady();
    void driverUnloaded();
    void unplugged();

public slots:
    virtual void setEnabledReverseBit(bool enabled) { capture->setReverseBit(enabled); }
    virtual void setEnabledMonitorAsio(bool enabled) { capture->setMonitoring(enabled); }
    virtual void setAutoSplitSize(qlonglong bytes);
    void setEmbedMetadata(bool enabled) { recording->setEmbedMetadata(enabled); }
    void setCaptureSettings(const CaptureSettings& s) { recording->setCaptureSettings(s); }
    virtual void scanDrivers() { session->scan(); }
    virtual void filterDrivers() { session->filter(); }
    virtual void scanSamplingRate() { session->scanSamplingRate(); }
    virtual bool initializeDriver(QString name, double sample_rate);
    virtual bool initializeAgain() { return reconnection->attempt(); }
    virtual void unloadCurrentDriver();
    virtual void reinitializeDriver(QString name, double sample_rate, bool onlyIfChanged);
    virtual bool refreshInfo() { return session->refreshInfo(); }
    virtual bool setFileName(QString fname) { return recording->setFileName(fname); }
    virtual bool setFileType(int type) { return recording->setFileType(type); }
    virtual bool startRecording(bool overwrite = false) { return setRecording(true, overwrite); }
    virtual bool stopRecording() { return setRecording(false, false); }
    virtual bool setRecording(bool rec, bool overwrite);
    virtual void recordNextTrack() { recording->recordNextTrack(deviceName()); }
    virtual void saveIni(QString org, QString app, bool userScope = true);
    virtual void loadIni(QString org, QString app, bool userScope = true);
    virtual void setDriverToReconnect(QString driver) { reconnection->setDriver(driver); }
    virtual void startReconnecting() { reconnection->start(); }
    virtual void stopReconnecting() { reconnection->stop(); }
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
