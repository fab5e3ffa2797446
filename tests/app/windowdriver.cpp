// Loaded into the real tessaro-recorder with LD_PRELOAD by the program tests: once the
// application object exists it drives the window as a user would, with mouse clicks and key
// presses on the widgets, and writes its steps to standard error. It types
// TESSARO_DRIVE_DESTINATION into the destination field, records TESSARO_DRIVE_RECORD_MS
// milliseconds, writes the tooltip of the
// level meters ("window driver: meters ..."), stops and leaves the program to end by itself through
// the window's close button.
#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <cstdio>
#include <functional>

namespace {

template <typename T = QPushButton> T* child(const char* name)
{
    for (QWidget* top : QApplication::topLevelWidgets())
        if (T* found = top->isVisible() ? top->findChild<T*>(QLatin1String(name)) : nullptr)
            return found;
    return nullptr;
}

void say(const QString& step)
{
    std::fprintf(stderr, "window driver: %s\n", qPrintable(step));
    std::fflush(stderr);
}

// Polls until the condition holds, then runs the step; gives up after 20 s.
void when(std::function<bool()> condition, std::function<void()> step)
{
    auto* timer = new QTimer(qApp);
    QObject::connect(timer, &QTimer::timeout, [=, waitedMs = 0]() mutable {
        if (condition()) {
            // The step may run a dialog's own event loop, where this timer must not fire again.
            timer->stop();
            timer->deleteLater();
            step();
        } else if ((waitedMs += timer->interval()) > 20000) {
            say("gave up waiting");
            QApplication::exit(3);
        }
    });
    timer->start(100);
}

bool usable(const char* name)
{
    const QPushButton* button = child(name);
    return button && button->isVisible() && button->isEnabled();
}

void click(const char* name)
{
    QTest::mouseClick(child(name), Qt::LeftButton);
}

void drive()
{
    when([] { return usable("recordButton"); },
         [] {
             QLineEdit* path = child<QLineEdit>("pathEdit");
             QTest::mouseClick(path, Qt::LeftButton);
             QTest::keyClick(path, Qt::Key_A, Qt::ControlModifier);
             QTest::keyClicks(path, qEnvironmentVariable("TESSARO_DRIVE_DESTINATION"));
             click("recordButton");
             say("clicked record");
             QTimer::singleShot(qEnvironmentVariableIntValue("TESSARO_DRIVE_RECORD_MS"), [] {
                 say("meters " + child<QWidget>("levelMeters")->toolTip().replace('\n', "; "));
                 click("stopButton");
                 when([] { return usable("recordButton"); },
                      [] {
                          // A question before closing (data still being stored) is answered with
                          // Yes.
                          auto* answer = new QTimer(qApp);
                          QObject::connect(answer, &QTimer::timeout, [] {
                              auto* box =
                                  qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                              if (box && box->button(QMessageBox::Yes))
                                  QTest::mouseClick(box->button(QMessageBox::Yes), Qt::LeftButton);
                          });
                          answer->start(100);
                          click("closeButton");
                          say("clicked close");
                      });
             });
         });
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(drive)
