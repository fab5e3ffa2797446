#ifndef TESSARO_SYSTEMINITDATA_H
#define TESSARO_SYSTEMINITDATA_H

#include <QString>

// The "INPUT" group: the remembered driver, rate, destination, pool size, DSD file type and
// the pair of inputs recorded ("input_pair": 1 for inputs 1-2, 2 for 3-4, ...; a value that is
// not a whole number loads as 0, which the start-up refuses with a warning).
// GUI thread; loaded once before the recorder is built and saved once after the event loop.
struct SystemInitData
{
    QString device;
    double sampling_rate = 44100.0;
    QString save_path;
    int recording_buffer_MB = 256;
    QString default_dsd_type = QStringLiteral("dff");
    int input_pair = 1;
    bool ask_when_halvik_device_plugged_in = true;

    virtual ~SystemInitData() = default;
    virtual bool hasDevice() const;
    virtual bool hasSamplingRate() const;
    virtual void save(const QString& organisation, const QString& application, bool userScope);
    virtual void load(const QString& organisation, const QString& application, bool userScope);
};

#endif
