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
#include "repaircommand.h"

#include <QApplication>
#include <QIcon>
#include <QLocale>
#include <cstring>

int main(int argc, char* argv[])
{
    // Decided before QApplication exists: repairing needs no display.
    if (argc > 1 && std::strcmp(argv[1], "--repair") == 0) {
        QCoreApplication app(argc, argv);
        return runRepairCommand(QCoreApplication::arguments().mid(2));
    }
    QApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QString::fromLatin1(AppIdentity::kVersion));
    AppStyle::registerResources();
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/Vizuvava.png")));
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    // Ctrl+C or a logout ends the loop like a closed window.
    QuitOnSignal quitOnSignal;

    RecorderCore::Assembly core = RecorderCore::assemble();
    RecorderCore::recoverJournaledFiles(core.controller);
    MainWindow window(core.controller, core.adjuster, core.input.save_path,
                      core.input.default_dsd_type);
    CtrlInitializer(core.controller, AppIdentity::organisation(), AppIdentity::application())
        .applyTo(core.input.device);
    core.adjuster->loadSettings(AppIdentity::organisation(), AppIdentity::application());
    window.show();
    const int result = app.exec();

    RecorderCore::saveSettings(core.controller, core.adjuster, core.input, window.lastPath());
    core.controller->shutDown();
    return result;
}
