// Loaded into the real tessaro-recorder with LD_PRELOAD by the program tests: once the
// application object exists it drives the window as a user would, with mouse clicks and key
// presses on the widgets, and writes its steps to standard error.
//   TESSARO_DRIVE_DESTINATION  the file name typed into the destination field
//   TESSARO_DRIVE_RECORD_MS    how long to record (default 3000)
//   TESSARO_DRIVE_RATE         a rate (Hz) and TESSARO_DRIVE_DSD_TYPE a DSD file type ("dsf" or
//                              "dff") chosen in the settings dialog before the destination is typed
// Before stopping it writes the tooltip of the level meters ("window driver: meters ...").
// The program is left to end by itself through the window's close button.
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <cstdio>
#include <functional>

namespace {

template <typename T> T* child(const char* name)
{
    for (QWidget* top : QApplication::topLevelWidgets())
        if (T* found = top->isVisible() ? top->findChild<T*>(QLatin1String(name)) : nullptr)
            return found;
    return nullptr;
}

void say(const char* step)
{
    std::fprintf(stderr, "window driver: %s\n", step);
    std::fflush(stderr);
}

// Polls until the condition holds, then runs the step; gives up after the timeout.
void when(std::function<bool()> condition, int timeoutMs, std::function<void()> step)
{
    auto* timer = new QTimer(qApp);
    auto waited = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, [=] {
        *waited += timer->interval();
        if (condition()) {
            // A step may run a dialog's own event loop, where this timer must not fire again.
            timer->stop();
            timer->deleteLater();
            step();
        } else if (*waited > timeoutMs) {
            timer->deleteLater();
            say("gave up waiting");
            QApplication::exit(3);
        }
    });
    timer->start(100);
}

bool usable(const char* name)
{
    QPushButton* button = child<QPushButton>(name);
    return button && button->isVisible() && button->isEnabled();
}

void click(const char* name)
{
    QTest::mouseClick(child<QPushButton>(name), Qt::LeftButton);
}

void recordThenClose(const QString& destination, int recordMs)
{
    when([] { return usable("recordButton"); }, 20000,
         [=] {
             QLineEdit* path = child<QLineEdit>("pathEdit");
             QTest::mouseClick(path, Qt::LeftButton);
             QTest::keyClick(path, Qt::Key_A, Qt::ControlModifier);
             QTest::keyClicks(path, destination);
             click("recordButton");
             say("clicked record");
             QTimer::singleShot(recordMs, [] {
                 if (QWidget* meters = child<QWidget>("levelMeters"))
                     std::fprintf(stderr, "window driver: meters %s\n",
                                  qPrintable(meters->toolTip().replace(QLatin1Char('\n'), "; ")));
                 click("stopButton");
                 when([] { return usable("recordButton"); }, 20000,
                      [] {
                          QTimer::singleShot(200, [] {
                              // A question before closing, if one is asked, is answered with Yes.
                              QTimer::singleShot(500, [] {
                                  if (auto* box = qobject_cast<QMessageBox*>(
                                          QApplication::activeModalWidget()))
                                      QTest::mouseClick(box->button(QMessageBox::Yes),
                                                        Qt::LeftButton);
                              });
                              click("closeButton");
                              say("clicked close");
                          });
                      });
             });
         });
}

void drive()
{
    const QString rate = qEnvironmentVariable("TESSARO_DRIVE_RATE");
    const QString dsdType = qEnvironmentVariable("TESSARO_DRIVE_DSD_TYPE");
    const int recordMs = qEnvironmentVariableIntValue("TESSARO_DRIVE_RECORD_MS");
    const auto record = [recordMs] {
        recordThenClose(qEnvironmentVariable("TESSARO_DRIVE_DESTINATION"),
                        recordMs > 0 ? recordMs : 3000);
    };
    if (rate.isEmpty())
        return record();
    when([] { return usable("settingsButton"); }, 20000,
         [=] {
             // The dialog runs its own event loop inside the click: it is answered from there.
             when([] { return QApplication::activeModalWidget() != nullptr; }, 5000,
                  [=] {
                      QWidget* dialog = QApplication::activeModalWidget();
                      auto* rates = dialog->findChild<QComboBox*>(QStringLiteral("rateChoice"));
                      auto* types = dialog->findChild<QComboBox*>(QStringLiteral("dsdChoice"));
                      rates->setCurrentIndex(rates->findData(rate.toDouble()));
                      types->setCurrentIndex(types->findText(dsdType));
                      for (QPushButton* button : dialog->findChildren<QPushButton*>())
                          if (button->text() == QLatin1String("OK"))
                              QTest::mouseClick(button, Qt::LeftButton);
                  });
             click("settingsButton");
             record(); // once the driver is back at that rate
         });
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(drive)
