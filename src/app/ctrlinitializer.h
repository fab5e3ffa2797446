#ifndef TESSARO_CTRLINITIALIZER_H
#define TESSARO_CTRLINITIALIZER_H

#include <QString>

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

private:
    AsioController* controller;
    QString organisation;
    QString application;
};

#endif
