#ifndef TESSARO_DEVICELIST_H
#define TESSARO_DEVICELIST_H

#include <QCoreApplication>
#include <QList>
#include <QString>
#include <QStringList>

// The drivers the recorder can use, each probed for the rates it accepts in PCM and in DSD,
// as text for the command line. Probing loads and initialises each driver in turn without
// starting a stream, through the same host operations the controller uses.
//
// Threads: main thread only, while no driver of the controller is loaded.
class DeviceList
{
    Q_DECLARE_TR_FUNCTIONS(DeviceList)
public:
    // One line per driver: "<name>[ (remembered)]: <n> inputs; <rate>, <rate>, ..." with DSD
    // rates marked, or the reason the driver cannot be used; a remembered device that is not
    // present last.
    static QStringList describe(const QStringList& driverNames, const QString& remembered);

    // "44100" for PCM, "2822400 (DSD 1x)" for DSD.
    static QString rateText(double rate);
    // "1 input", "4 inputs".
    static QString inputsText(long count);

private:
    static QString describeDriver(const QString& name);
    static QList<double> acceptedRates(int ioFormat);
};

#endif
