#ifndef TESSARO_ASIOCONTROLLER_H
#define TESSARO_ASIOCONTROLLER_H

#include "asio.h"
#include "audiobufferprocessor.h"
#include "levelmeter.h"

#include <QColor>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
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

// Runs recording: the life of the driver, the processing of every driver buffer, recording
// start, stop and next track, reconnection after unplugging, its settings, and the log.
//
// Threads: every slot and query on the GUI thread. processBuffer and driverResetRequested on
// the driver's thread: they read the atomic flags below, touch only the pool and the writer's
// append, count the recorded samples (recordedSamples, atomic) and feed the level meters, and
// leave everything else (teardown, closing a file, log messages) to the GUI thread through the
// atomic driver events it polls, since posting an event would allocate on the driver thread.
// The buffer lists change only while no stream runs. The marks into the sample count, the gap
// clock and the free-space watch belong to the GUI thread. The meters are read by the
// GUI thread (see LevelMeter); the dropout count is an atomic raised on the driver thread and
// cleared by the GUI thread at each start.
class AsioController : public QObject, public AudioBufferProcessor
{
    Q_OBJECT
public:
    AsioController(AsioHostState* host, QSharedPointer<AsioDrivers> drivers,
                   QSharedPointer<PartitionManager> partitions,
                   QSharedPointer<AudioFileWriter> writer, int bufferMegabytes,
                   QObject* parent = nullptr);
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
    // left on device", or a full RAM buffer); empty when it did not. Cleared when the next recording starts.
    virtual QString failureText() const;
    // The meter of recorded input 0 (left) or 1 (right), for the GUI thread.
    virtual LevelMeter& levelMeter(int input);
    // Driver resynchronisations and blocks lost to a full RAM buffer since the recording
    // started.
    virtual unsigned dropoutCount() const;

    static constexpr int kMeteredInputs = 2;

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
    virtual void toggleEnabledReverseBit();
    virtual void setEnabledMonitorPC(bool enabled);
    virtual void setEnabledMonitorAsio(bool enabled);
    virtual void setAutoSplitSize(qlonglong bytes);
    void setEmbedMetadata(bool enabled);
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
    virtual void appendLogMsg(QString msg, QString type, QString source,
                              QColor color = Qt::black, QColor bgColor = Qt::white);
    virtual void appendDebug(QString msg);
    virtual void appendInfo(QString msg, QColor col = Qt::black);
    virtual void appendWarning(QString msg, QColor col = QColor(204, 100, 0));
    virtual void appendError(QString msg, QColor col = Qt::red);

public:  // steps of the driver life and recording, used by the slots above
    virtual void setDriverReady(bool ready);
    virtual bool setSampleRate(double rate);
    virtual bool setIoFormat(ASIOIoFormat format, bool verify);
    virtual bool createBuffers();
    virtual ASIOError disposeBuffers();
    virtual bool startStreaming();
    virtual bool stopStreaming();
    virtual void recordBuffer(unsigned char* data, long channel, ASIOSampleType sampleType,
                              long bufferSize, long bufferIndex);
    virtual void monitorBuffer(unsigned char* data, long channel, ASIOSampleType sampleType,
                               long bufferSize, long bufferIndex);
    virtual void meterBuffer(unsigned char* data, long channel, ASIOSampleType sampleType,
                             long bufferSize);
    virtual QString nextTrackFileName(const QString& path) const;
    virtual QString stripTrackNumber(const QString& path) const;
    virtual QString uniqueFileName(const QString& path) const;

private:
    void onDriverLost();
    QStringList listedDriverNames() const;
    enum class DriverStop { None, BufferFull, BufferTooLarge };
    enum class BadBuffer { None, Empty, InvalidType };
    void takeDriverEvents();
    void stopRecordingFromDriverThread(DriverStop reason, qint64 bytes = 0);
    void recordBlock(unsigned char* data, long channel, ASIOSampleType sampleType, long bufferSize);
    void waitForRecordBuffer();
    void onWriterError(int code, const QString& msg);
    void onFileNameTaken(const QString& asked, const QString& used);
    void checkFreeSpace();
    void reportGap();
    qint64 samplesSince(qint64 mark) const;
    static QString hzText(double rate);
    void resetMeters();
    void reportDropouts();
    static int fileTypeFromName(const QString& name);
    // Hands the writer what the next file says about its recording.
    void describeNextFile();
    static void waitMs(int ms);

    std::atomic<bool> driverReady_{false};
    std::atomic<bool> streaming{false};
    std::atomic<bool> recording{false};
    std::atomic<bool> recordBufferBusy{false};  // the driver thread is inside recordBuffer
    std::atomic<bool> monitorPC{false};
    std::atomic<bool> monitoring{true};
    bool embedMetadata = true;  // GUI thread
    QString fileName_;
    int fileType_ = 0;
    QString driverToReconnect_;
    double rateToReconnect = 0;  // the rate of the last initializeDriver, for reconnecting
    QString failureText_;
    QStringList driverNames_;
    QList<double> sampleRates_;
    QList<int> outputBuffers;
    QList<int> inputBuffers;
    std::atomic<bool> reverseBit{false};
    // Overruns and underruns the current driver recovered from; the GUI thread logs the count
    // when it changed since its last look, so a burst gives one line.
    std::atomic<unsigned> resyncCount{0};
    unsigned resyncsReported = 0;  // GUI thread
    // Driver events the GUI thread takes at its next look (driverEvents).
    std::atomic<bool> resetRequested{false};
    std::atomic<DriverStop> pendingStop{DriverStop::None};
    std::atomic<qint64> pendingStopBytes{0};
    std::atomic<BadBuffer> pendingBadBuffer{BadBuffer::None};
    QTimer* driverEvents = nullptr;
    LevelMeter meters[kMeteredInputs];
    std::atomic<unsigned> dropouts{0};
    QTimer* reconnectTimer;
    // Samples per channel that reached the pool while recording, counted on the first input.
    std::atomic<qint64> recordedSamples{0};
    qint64 recordingStart = 0;  // recordedSamples at the start of the recording
    qint64 trackStart = 0;      // ... and of the current track
    QElapsedTimer gapClock;     // runs from an unplug during a recording until the replug
    qint64 gapPosition = 0;     // samples into the track when the device went
    QString gapFile;
    QTimer* spaceTimer = nullptr;
    TakeLog* takeLog_ = nullptr;
    qint64 secondsLeft_ = -1;
    qint64 lastSpaceWarning = 0;  // the threshold last warned about, in seconds; 0 for none
    // CONFIG is saved only once it was read, so a stored value never gives way to a default.
    bool configLoaded = false;
    AsioHostState* host;
    QSharedPointer<AsioDrivers> drivers;
    QSharedPointer<PartitionManager> partitions;
    QSharedPointer<AudioFileWriter> writer;
};

#endif
