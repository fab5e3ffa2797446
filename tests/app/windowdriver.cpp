// Loaded into the real tessaro-recorder with LD_PRELOAD by the program tests: once the event loop
// runs it drives the window as a user would, with mouse clicks and key presses on the widgets,
// and writes its steps to standard error. It types TESSARO_DRIVE_DESTINATION into the
// destination field, records TESSARO_DRIVE_RECORD_MS milliseconds, writes the tooltip of the
// level meters ("window driver: meters ..."), stops and leaves the program to end by itself
// through the window's close button.
#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <cstdio>

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

// Waits until the record button can be clicked; gives up after 20 s, ending the program.
bool recordButtonUsable()
{
    const auto usable = [] {
        const QPushButton* button = child("recordButton");
        return button && button->isVisible() && button->isEnabled();
    };
    if (QTest::qWaitFor(usable, 20000))
        return true;
    say("gave up waiting");
    QApplication::exit(3);
    return false;
}

void drive()
{
    if (!recordButtonUsable())
        return;
    QLineEdit* path = child<QLineEdit>("pathEdit");
    QTest::mouseClick(path, Qt::LeftButton);
    QTest::keyClick(path, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(path, qEnvironmentVariable("TESSARO_DRIVE_DESTINATION"));
    QTest::mouseClick(child("recordButton"), Qt::LeftButton);
    say("clicked record");
    QTest::qWait(qEnvironmentVariableIntValue("TESSARO_DRIVE_RECORD_MS"));
    say("meters " + child<QWidget>("levelMeters")->toolTip().replace('\n', "; "));
    QTest::mouseClick(child("stopButton"), Qt::LeftButton);
    if (!recordButtonUsable())
        return;
    // A question before closing (data still being stored) is answered with Yes.
    auto* answer = new QTimer(qApp);
    QObject::connect(answer, &QTimer::timeout, [] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box && box->button(QMessageBox::Yes))
            QTest::mouseClick(box->button(QMessageBox::Yes), Qt::LeftButton);
    });
    answer->start(100);
    QTest::mouseClick(child("closeButton"), Qt::LeftButton);
    say("clicked close");
}

// Drives once the program's event loop runs; the waits within run nested event loops.
void startDriving()
{
    QTimer::singleShot(0, drive);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(startDriving)
