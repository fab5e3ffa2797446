#ifndef TESSARO_CTRLINITIALIZER_H
#define TESSARO_CTRLINITIALIZER_H

#include <QString>
#include <QStringList>

class AsioController;

// Brings the device to use up once at start-up (chooseDriver), or starts waiting for it when
// it is not there, and loads the controller's settings when it is ready, or else the first
// time a driver comes up later. GUI thread.
class CtrlInitializer
{
public:
    CtrlInitializer(AsioController* controller, const QString& organisation,
                    const QString& application);
    virtual ~CtrlInitializer() = default;
    virtual void applyTo(const QString& device);

    // The driver applyTo brings up: the remembered device when listed; when it is not, the
    // vendor's first real driver (the name may have changed with a new driver version), else
    // the remembered device itself, to be waited for. Nothing remembered: the vendor's first,
    // else the first of names. The simulated device plays a test tone, so it is taken only when
    // chosen or when nothing was ever remembered. Empty without names and remembered device.
    static QString chooseDriver(const QStringList& names, const QString& device,
                                const AsioController* controller);

private:
    AsioController* controller;
    QString organisation;
    QString application;
};

#endif
