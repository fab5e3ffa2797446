// The recorder's entry point: reads the command line, then either builds the recording core and
// the window, brings up the remembered driver, runs the event loop, saves the settings and lets
// the writer finish, or does one command-line task without a window.
#include "appidentity.h"
#include "appstyle.h"
#include "asiocontroller.h"
#include "commandline.h"
#include "ctrlinitializer.h"
#include "ctrlsplitsizeadjuster.h"
#include "devicelist.h"
#include "diagnosticsink.h"
#include "headlessrecorder.h"
#include "mainwindow.h"
#include "quitonsignal.h"
#include "recordercore.h"
#include "repaircommand.h"

#include <QApplication>
#include <QIcon>
#include <QLocale>
#include <cstdio>

namespace {

// Under --quiet the toolkit's and the driver layer's warnings go the way of every other note;
// its critical messages are errors and still reach standard error.
void keepOnlyErrors(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        DiagnosticSink::error("%s", qPrintable(message));
}

int runWindow(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QString::fromLatin1(AppIdentity::kVersion));
    AppStyle::registerResources();
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/Vizuvava.png")));
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    // Ctrl+C or a logout ends the loop like a closed window.
    QuitOnSignal quitOnSignal;

    RecorderCore::Assembly core = RecorderCore::assemble();
    RecorderCore::recoverJournaledFiles(core.controller);
    MainWindow window(core.controller, core.adjuster.get(), core.input.save_path,
                      core.input.default_dsd_type);
    CtrlInitializer(core.controller, AppIdentity::organisation(), AppIdentity::application())
        .applyTo(core.input.device);
    core.adjuster->loadSettings(AppIdentity::organisation(), AppIdentity::application());
    window.show();
    const int result = app.exec();

    RecorderCore::saveSettings(core.controller, core.adjuster.get(), core.input, window.lastPath());
    core.controller->shutDown();
    return result;
}

// The tasks that need no display: no QApplication, so no X server or Wayland is asked for.
int runCommand(int argc, char* argv[], const CommandLine& commandLine)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QString::fromLatin1(AppIdentity::kVersion));
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    if (commandLine.action() == CommandLine::Action::Help) {
        std::fputs(qPrintable(commandLine.helpText()), stdout);
        return 0;
    }
    if (commandLine.action() == CommandLine::Action::Version) {
        std::printf("%s\n", qPrintable(CommandLine::versionText()));
        return 0;
    }
    if (commandLine.action() == CommandLine::Action::Repair)
        return runRepairCommand(commandLine.repairFiles());
    QuitOnSignal quitOnSignal;
    if (commandLine.action() == CommandLine::Action::ListDevices) {
        // Listing records nothing: no RAM buffer, however large the setting asks it to be.
        const RecorderCore::Assembly core = RecorderCore::assemble(RecorderCore::Pool::None);
        for (const QString& line :
             DeviceList::describe(core.controller->driverNames(), core.input.device))
            std::printf("%s\n", qPrintable(line));
        return 0;
    }
    RecorderCore::Assembly core = RecorderCore::assemble(RecorderCore::Pool::Allocated);
    // Like the window, a recording from the command line first repairs what a crash left open,
    // and holds the lock that tells a recorder started meanwhile to leave its files alone.
    RecorderCore::recoverJournaledFiles(core.controller);
    core.adjuster->loadSettings(AppIdentity::organisation(), AppIdentity::application());
    return HeadlessRecorder(core, commandLine.recording()).run();
}

} // namespace

int main(int argc, char* argv[])
{
    CommandLine commandLine;
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (!commandLine.parse(arguments)) {
        DiagnosticSink::error("%s", qPrintable(commandLine.errorText()));
        return 2;
    }
    if (commandLine.quiet()) {
        DiagnosticSink::setQuiet(true);
        qInstallMessageHandler(keepOnlyErrors);
    }
    if (commandLine.action() == CommandLine::Action::Window)
        return runWindow(argc, argv);
    return runCommand(argc, argv, commandLine);
}
