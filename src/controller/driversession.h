#ifndef TESSARO_DRIVERSESSION_H
#define TESSARO_DRIVERSESSION_H

#include "asio.h"

#include <QCoreApplication>
#include <QList>
#include <QSharedPointer>
#include <QStringList>
#include <atomic>

class AsioDrivers;
class AsioHostState;
class CapturePath;
class ControllerLog;

// The life of one driver: the list of installed drivers, loading and initialising one, its IO
// format and sampling rate, its buffers (whose numbers it hands to the capture path) and its
// stream, and the waits for the driver's answers.
//
// Threads: GUI thread only. The waits (setIoFormat, stopStreaming) sleep on it for the driver
// to settle, as the driver asks. The streaming flag is atomic because it is shared with the
// queries of the controller; the buffer numbers change only while no stream runs.
class DriverSession
{
    Q_DECLARE_TR_FUNCTIONS(DriverSession)
public:
    DriverSession(AsioHostState* host, QSharedPointer<AsioDrivers> drivers, CapturePath& capture,
                  ControllerLog& log);

    static QString errorText(ASIOError code);
    static QString ioFormatText(long type);
    static QString hzText(double rate);
    // "1 input", "4 inputs".
    static QString inputsText(long count);
    static bool isForeignDriver(const QString& name);
    // The first of names that is not foreign; empty when none.
    static QString firstSupported(const QStringList& names);

    QStringList driverNames() const { return driverNames_; }
    QList<double> sampleRates() const { return sampleRates_; }
    bool isStreaming() const { return streaming; }
    QString driverName() const;
    double sampleRate() const;
    long bufferSize() const;
    QString sampleRateText() const;
    // Bytes of one input's half-buffer in the current format; 0 when unknown.
    qint64 inputBlockBytes() const;
    // The inputs the device offers, and the pair of adjacent ones recorded (1 for inputs 1-2,
    // 2 for 3-4, ...): the one asked for where the device has it, else the first.
    long inputCount() const;
    int inputPair() const;
    int requestedInputPair() const { return wantedPair; }
    // From the next buffers on.
    void setInputPair(int pair);
    // Why the driver would not start at the last initialisation, in its own words, where that
    // is more than its device being away (a card that another program holds); else empty.
    QString problem() const { return problem_; }

    void scan();
    void filter();
    // Reads the list of installed drivers again when name is not on it: a device plugged in
    // after the list was read.
    void rescanFor(const QString& name);

    // The steps of initialisation, in order; each logs what failed.
    bool load(const QString& name);
    bool init();
    bool prepare(double rate); // callbacks, rates, IO format and rate, driver info, buffers
    void scanSamplingRate();
    bool setSampleRate(double rate);
    bool setIoFormat(ASIOIoFormat format, bool verify);
    bool refreshInfo();
    bool createBuffers();
    ASIOError disposeBuffers();
    bool startStreaming();
    bool stopStreaming();
    // Stops the stream, disposes the buffers and exits the driver.
    void unload();

private:
    QStringList listedDriverNames() const;
    void chooseInputs();
    void logInputs();
    static void waitMs(int ms);

    AsioHostState* host;
    QSharedPointer<AsioDrivers> drivers;
    CapturePath& capture;
    ControllerLog& log;
    std::atomic<bool> streaming{false};
    QStringList driverNames_;
    QList<double> sampleRates_;
    int wantedPair = 1;
    QString problem_;
};

#endif
