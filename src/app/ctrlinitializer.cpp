#include "ctrlinitializer.h"

#include "asiocontroller.h"

CtrlInitializer::CtrlInitializer(AsioController* controller, const QString& organisation,
                                 const QString& application)
    : controller(controller), organisation(organisation), application(application)
{
}

void CtrlInitializer::applyTo(const QString& device)
{
    const QStringList names = controller->driverNames();
    if (!names.isEmpty()) {
        QString chosen = names.contains(device) ? device : controller->firstSupportedDriver(names);
        if (chosen.isEmpty())
            chosen = names.first();
        controller->initializeDriver(chosen, 44100.0);
        if (!controller->isDriverReady())
            controller->startReconnecting();
    }
    if (controller->isDriverReady())
        controller->loadIni(organisation, application, true);
}
