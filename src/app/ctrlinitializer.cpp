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
        controller->initializeDriver(chooseDriver(names, device, controller), 44100.0);
        if (!controller->isDriverReady())
            controller->startReconnecting();
    }
    if (controller->isDriverReady())
        controller->loadIni(organisation, application, true);
}

QString CtrlInitializer::chooseDriver(const QStringList& names, const QString& device,
                                      const AsioController* controller)
{
    if (names.contains(device))
        return device;
    const QString vendors = controller->firstSupportedDriver(names);
    return vendors.isEmpty() && !names.isEmpty() ? names.first() : vendors;
}
