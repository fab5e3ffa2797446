#include "ctrlinitializer.h"

#include "asiocontroller.h"

#include <memory>

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
    if (controller->isDriverReady()) {
        controller->loadIni(organisation, application, true);
        return;
    }
    // The stored settings apply once a driver first comes up, by reconnection or through the
    // settings dialog; until then they are neither read nor overwritten.
    auto once = std::make_shared<QMetaObject::Connection>();
    AsioController* target = controller;
    const QString org = organisation;
    const QString app = application;
    *once = QObject::connect(controller, &AsioController::driverReady, controller,
                             [once, target, org, app] {
                                 QObject::disconnect(*once);
                                 target->loadIni(org, app, true);
                             });
}

QString CtrlInitializer::chooseDriver(const QStringList& names, const QString& device,
                                      const AsioController* controller)
{
    if (names.contains(device))
        return device;
    const QString vendors = controller->firstSupportedDriver(names);
    return vendors.isEmpty() && !names.isEmpty() ? names.first() : vendors;
}
