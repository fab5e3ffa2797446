#include "ctrlinitializer.h"

#include "asiocontroller.h"
#include "simulateddriver.h"

#include <memory>

CtrlInitializer::CtrlInitializer(AsioController* controller, const QString& organisation,
                                 const QString& application)
    : controller(controller), organisation(organisation), application(application)
{}

void CtrlInitializer::applyTo(const QString& device)
{
    const QString chosen = chooseDriver(controller->driverNames(), device, controller);
    if (!chosen.isEmpty()) {
        controller->initializeDriver(chosen, 44100.0);
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
    if (device.isEmpty()) {
        const QString vendors = controller->firstSupportedDriver(names);
        return vendors.isEmpty() && !names.isEmpty() ? names.first() : vendors;
    }
    QStringList real = names;
    real.removeAll(QString::fromLatin1(SimulatedDriver::kDescription));
    const QString vendors = controller->firstSupportedDriver(real);
    return vendors.isEmpty() ? device : vendors;
}
