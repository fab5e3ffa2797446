#ifndef TESSARO_CTRLINITIALIZER_H
#define TESSARO_CTRLINITIALIZER_H

#include <QString>
#include <QStringList>

class AsioController;

// Brings the remembered driver (or the vendor's first, or the first of all) up once at
// start-up, and loads the controller's settings when it is ready, or else the first time a
// driver comes up later. GUI thread.
class CtrlInitializer
{
public:
    CtrlInitializer(AsioController* controller, const QString& organisation,
                    const QString& application);
    virtual ~CtrlInitializer() = default;
    virtual void applyTo(const QString& device);

    // The driver applyTo brings up: device when listed, else the vendor's first, else the
    // first of names; empty without names.
    static QString chooseDriver(const QStringList& names, const QString& device,
                                const AsioController* controller);

private:
    AsioController* controller;
    QString organisation;
    QString application;
};

#endif
