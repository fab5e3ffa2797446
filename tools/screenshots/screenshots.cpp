// Renders the recorder's windows to PNG files: the main window idle, its level meters at the
// simulated tone and with the right clip lamp lit by a full-scale burst, recording (with the
// time left on the disk), waiting for its unplugged device and after the writer could not
// create its file, the log window with a message of every level, recording at DSD 4x onto a
// drive slower than the data (with the time left and the slow-drive warning), and the settings
// dialog. The
// recorder is built as the
// program builds it, on the simulated device, with settings in a temporary directory so the
// user's own are never touched.
// Usage: tessaro-screenshots [output directory, default "screenshots"]
// Exits with 1 when a picture could not be made or shows nothing but one colour.
#include "appidentity.h"
#include "appstyle.h"
#include "asiocontroller.h"
#include "ctrlinitializer.h"
#include "mainwindow.h"
#include "recordercore.h"
#include "simulateddriver.h"

#include <QApplication>
#include <QDir>
#include <QDockWidget>
#include <QFileDialog>
#include <QImage>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

bool hasContent(const QImage& image)
{
    if (image.isNull())
        return false;
    const QRgb first = image.pixel(0, 0);
    for (int y = 0; y < image.height(); y += 3)
        for (int x = 0; x < image.width(); x += 3)
            if (image.pixel(x, y) != first)
                return true;
    return false;
}

bool save(QWidget* widget, const QDir& dir, const char* name)
{
    const QString path = dir.filePath(QString::fromLatin1(name));
    const QImage image = widget->grab().toImage();
    const bool ok = hasContent(image) && image.save(path);
    std::printf("%s %s (%dx%d)\n", ok ? "wrote" : "FAILED", qPrintable(path), image.width(),
                image.height());
    return ok;
}

void clickAndWait(QWidget* window, const char* button, int ms)
{
    QTest::mouseClick(window->findChild<QPushButton*>(QString::fromLatin1(button)), Qt::LeftButton);
    QTest::qWait(ms);
}

// A destination that takes about 1 MB/s, less than DSD 4x delivers (2.8 MB/s): a named pipe
// drained by a slow reader, so the audio piles up in the RAM buffer as it does before a slow
// disk. Once `slow` is cleared it drains at full speed until the writer closes the file.
class SlowDrive
{
public:
    explicit SlowDrive(const QString& path) : m_path(QFile::encodeName(path))
    {
        m_made = ::mkfifo(m_path.constData(), 0600) == 0;
        if (m_made)
            m_reader = std::thread([this] { drain(); });
    }
    ~SlowDrive()
    {
        slow = false;
        if (m_reader.joinable())
            m_reader.join();
    }
    bool isMade() const { return m_made; }
    std::atomic<bool> slow{true};

private:
    void drain()
    {
        const int fd = ::open(m_path.constData(), O_RDONLY);
        char block[64 * 1024];
        while (fd >= 0 && ::read(fd, block, sizeof block) > 0)
            if (slow)
                std::this_thread::sleep_for(std::chrono::milliseconds(64));
        if (fd >= 0)
            ::close(fd);
    }
    QByteArray m_path;
    bool m_made = false;
    std::thread m_reader;
};

// Chooses name through the window's file dialog, as a user would; a name chosen there may
// replace the file of that name.
void browseTo(QWidget* window, const QString& name)
{
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [name, &answer] {
        if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
            answer.stop();
            dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(name);
            dialog->QDialog::accept(); // the dialog's own question about replacing is the user's
                                       // "yes"
        }
    });
    answer.start(100);
    clickAndWait(window, "browseButton", 100);
}

} // namespace

int main(int argc, char* argv[])
{
    QTemporaryDir settings;
    qputenv("XDG_CONFIG_HOME", settings.path().toLocal8Bit());
    qputenv("XDG_STATE_HOME", settings.path().toLocal8Bit());
    QApplication app(argc, argv);
    AppStyle::registerResources();
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    QDir out(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots"));
    if (!out.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(out.path()));
        return 1;
    }

    const RecorderCore::Assembly core = RecorderCore::assemble();
    AsioController* controller = core.controller;
    MainWindow window(controller, core.adjuster.get(), settings.path(), QStringLiteral("dsf"));
    CtrlInitializer(controller, AppIdentity::organisation(), AppIdentity::application())
        .applyTo(QString::fromLatin1(SimulatedDriver::kDescription));
    window.show();
    QTest::qWait(500);

    bool ok = true;
    // A message box nobody expects would stop the run: report it and close it.
    QTimer boxWatch;
    QObject::connect(&boxWatch, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            std::printf("FAILED unexpected message: %s\n", qPrintable(box->text()));
            ok = false;
            box->reject();
        }
    });
    boxWatch.start(250);

    ok = save(&window, out, "mainwindow-idle.png") && ok;
    ok = save(&window, out, "main-meters.png") && ok;
    SimulatedDriver::addFullScaleBurst(1);
    QTest::qWait(400);
    ok = save(&window, out, "main-meters-clip.png") && ok;
    auto* pathEdit = window.findChild<QLineEdit*>(QStringLiteral("pathEdit"));
    QTest::keyClicks(pathEdit, settings.filePath(QStringLiteral("take.wav")));
    clickAndWait(&window, "recordButton", 2300);
    // The status line shows the time left on the disk at the current rate.
    ok = save(&window, out, "mainwindow-recording.png") && ok;
    SimulatedDriver::setUnplugged(true);
    QTest::qWait(1500);
    ok = save(&window, out, "mainwindow-reconnecting.png") && ok;
    SimulatedDriver::setUnplugged(false);
    QTest::qWait(1500);
    clickAndWait(&window, "stopButton", 500);

    // The window refuses a folder that does not exist before it starts; a destination that
    // fails only once the writer creates the file is shown by starting the controller directly.
    controller->setFileName(settings.filePath(QStringLiteral("gone/take.wav")));
    controller->startRecording(false);
    QTest::qWait(1000);
    ok = save(&window, out, "main-write-failure.png") && ok;

    controller->appendInfo(QStringLiteral("an information"));
    controller->appendWarning(QStringLiteral("a warning"));
    controller->appendError(QStringLiteral("an error"));
    controller->appendDebug(QStringLiteral("a debug message"));
    QDockWidget* log = window.logWindow();
    log->show();
    log->resize(760, 420);
    QTest::qWait(200);
    ok = save(log, out, "log.png") && ok;
    log->hide();

    {
        controller->reinitializeDriver(QString::fromLatin1(SimulatedDriver::kDescription), 11289600,
                                       false);
        SlowDrive drive(settings.filePath(QStringLiteral("slow.dsf")));
        browseTo(&window, settings.filePath(QStringLiteral("slow.dsf")));
        clickAndWait(&window, "recordButton", 2500);
        if (!drive.isMade() || !controller->isSlowDrive()) {
            std::printf("FAILED no slow drive to record onto\n");
            ok = false;
        }
        ok = save(&window, out, "main-dsd4x-slow-drive.png") && ok;
        drive.slow = false;
        clickAndWait(&window, "stopButton", 200);
        QTest::qWaitFor([controller] { return controller->isIdle(); }, 10000);
    }

    // The dialog is modal: grab it once it is up, then cancel it.
    QTimer::singleShot(500, [&] {
        if (QWidget* dialog = QApplication::activeModalWidget()) {
            ok = save(dialog, out, "settings.png") && ok;
            QTest::keyClick(dialog, Qt::Key_Escape);
        } else {
            std::printf("FAILED the settings dialog did not open\n");
            ok = false;
        }
    });
    clickAndWait(&window, "settingsButton", 200);

    controller->shutDown();
    return ok ? 0 : 1;
}
