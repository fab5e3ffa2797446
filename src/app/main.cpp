// The recorder's entry point: builds the recording core and the window, brings up the
// remembered driver, runs the event loop, then saves the settings and lets the writer finish.
#include "appidentity.h"
#include "appstyle.h"
#include "asiocontroller.h"
#include "ctrlinitializer.h"
#include "ctrlsplitsizeadjuster.h"
#include "mainwindow.h"
#include "quitonsignal.h"
#include "recordercore.h"
#include "systeminitdata.h"

#include <QApplication>
#include <QIcon>
#include <QLocale>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QString::fromLatin1(AppIdentity::kVersion));
    AppStyle::registerResources();
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/Vizuvava.png")));
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    // Ctrl+C or a logout ends the loop like a closed window.
    QuitOnSignal quitOnSignal;

    const QString organisation = QString::fromLatin1(AppIdentity::kOrganisation);
    const QString application = QString::fromLatin1(AppIdentity::kApplication);
    SystemInitData input;
    input.load(organisation, application, true);

    AsioController* controller = RecorderCore::createController(input.recording_buffer_MB);
    CtrlSplitSizeAdjuster* adjuster = RecorderCore::createSplitAdjuster(controller);
    auto* window = new MainWindow(controller, adjuster, input.save_path, input.default_dsd_type);
    auto* initializer = new CtrlInitializer(controller, organisation, application);
    initializer->applyTo(input.device);
    adjuster->loadSettings(organisation, application);
    window->show();
    const int result = app.exec();

    RecorderCore::saveSettings(controller, adjuster, input, window->lastPath());
    controller->shutDown();
    return result;
}
