// Loaded into the real tessaro-recorder with LD_PRELOAD by the program tests: once the event loop
// runs it drives the window as a user would, with mouse clicks and key presses on the widgets.
// It types TESSARO_DRIVE_DESTINATION into the destination field, records
// TESSARO_DRIVE_RECORD_MS milliseconds, writes the tooltip of the level meters to standard error
// ("window driver: meters ..."), stops and leaves the program to end by itself through the
// window's close button. Where the record button stays unusable for 20 s, the program ends with 3.
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

bool recordButtonUsable()
{
    const QPushButton* button = child("recordButton");
    return button && button->isVisible() && button->isEnabled();
}

void drive()
{
    if (!QTest::qWaitFor(recordButtonUsable, 20000))
        return QApplication::exit(3);
    QLineEdit* path = child<QLineEdit>("pathEdit");
    QTest::mouseClick(path, Qt::LeftButton);
    QTest::keyClick(path, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(path, qEnvironmentVariable("TESSARO_DRIVE_DESTINATION"));
    QTest::mouseClick(child("recordButton"), Qt::LeftButton);
    QTest::qWait(qEnvironmentVariableIntValue("TESSARO_DRIVE_RECORD_MS"));
    const QString meters = child<QWidget>("levelMeters")->toolTip().replace('\n', "; ");
    std::fprintf(stderr, "window driver: meters %s\n", qPrintable(meters));
    QTest::mouseClick(child("stopButton"), Qt::LeftButton);
    if (!QTest::qWaitFor(recordButtonUsable, 20000))
        return QApplication::exit(3);
    // A question before closing (data still being stored) is answered with Yes.
    auto* answer = new QTimer(qApp);
    QObject::connect(answer, &QTimer::timeout, [] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box && box->button(QMessageBox::Yes))
            QTest::mouseClick(box->button(QMessageBox::Yes), Qt::LeftButton);
    });
    answer->start(100);
    QTest::mouseClick(child("closeButton"), Qt::LeftButton);
}

// Drives once the program's event loop runs; the waits within run nested event loops.
void startDriving()
{
    QTimer::singleShot(0, drive);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(startDriving)
