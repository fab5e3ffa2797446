#include "mainwindow.h"

#include "appstyle.h"
#include "asioconfigdialog.h"
#include "asiocontroller.h"

#include "ctrlsplitsizeadjuster.h"
#include "destinationfield.h"
#include "levelmeterwidget.h"
#include "logwidget.h"
#include "recordingdestination.h"
#include "statuspanel.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDockWidget>
#include <QFontMetrics>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QStackedWidget>
#include <QTimer>

namespace {

const char* const kNextTrackStyle =
    "QPushButton:enabled{color: #FF0000;background-color: #FF9999;border-top: 1px solid "
    "#FF0000;border-left: 1px solid #FF0000;border-right: 1px solid #FF0000;border-bottom: 1px "
    "solid #FF0000;}\n";

QPushButton* iconButton(const char* icon, const char* name, QWidget* parent)
{
    auto* button = new QPushButton(QString(), parent);
    button->setIcon(QIcon(QString::fromLatin1(icon)));
    button->setObjectName(QString::fromLatin1(name));
    return button;
}

QString trackTimeText(const QString& clock)
{
    return MainWindow::tr("track %1").arg(clock);
}

QHBoxLayout* rowLayout()
{
    auto* row = new QHBoxLayout;
    row->setContentsMargins(0, 0, 0, 0);
    return row;
}

} // namespace

MainWindow::MainWindow(AsioController* controller, CtrlSplitSizeAdjuster* splitAdjuster,
                       const QString& path, const QString& dsdType, QWidget* parent)
    : FramelessPanel(parent), m_controller(controller), m_splitAdjuster(splitAdjuster)
{
    m_destination = new DestinationField(controller, path, dsdType, this);
    AppStyle::registerResources();
    createWidgets();
    styleWidgets();
    connectWidgets();
    layoutWidgets();
    createLogWindow();

    m_timer = new QTimer(this);
    connect(m_timer, &QTimer::timeout, this, &MainWindow::onTimer);
    m_timer->start(100);

    // A driver may come up only after the window exists (start-up, reconnection, settings).
    connect(m_controller, &AsioController::driverReady, this, &MainWindow::updateTitle);
    updateTitle();
    resize(600, 100);
    createShortcuts();
    setStatusText(tr("No ASIO Driver found in your system"));
    m_stack->setSizePolicy(m_recordButton->sizePolicy());
    m_stack->setMinimumSize(m_recordButton->minimumSize());
}

void MainWindow::createWidgets()
{
    m_recordButton = iconButton(":/record_black.png", "recordButton", this);
    m_stack = new QStackedWidget(this);
    m_stack->setObjectName(QStringLiteral("stack"));
    m_nextTrackButton = iconButton(":/fast_forward.png", "nextTrackButton", this);
    m_stopButton = iconButton(":/stop.png", "stopButton", this);
    m_settingsButton = iconButton(":/settings.png", "settingsButton", this);
    m_closeButton = new QPushButton(tr("X"), this);
    m_closeButton->setObjectName(QStringLiteral("closeButton"));
    m_timeLabel = new QLabel(this);
    m_timeLabel->setObjectName(QStringLiteral("timeLabel"));
    m_trackTimeLabel = new QLabel(this);
    m_trackTimeLabel->setObjectName(QStringLiteral("trackTimeLabel"));
    m_status = new StatusPanel(m_controller, this);
    m_logoLabel = new QLabel(this);
    m_captionLabel = new QLabel(this);
    m_pictureLabel = new QLabel(this);
    m_meters = new LevelMeterWidget(m_controller, this);
    m_meters->setObjectName(QStringLiteral("levelMeters"));
}

void MainWindow::styleWidgets()
{
    AppStyle::applyPanelPalette(this);
    const int side = int(1.5 * QFontMetrics(font()).height());
    m_closeButton->setFixedSize(side, side);
    m_closeButton->setFont(font());
    setStyleSheet(AppStyle::styleSheet());
    m_nextTrackButton->setStyleSheet(QString::fromLatin1(kNextTrackStyle));
    m_stack->insertWidget(0, m_recordButton);
    m_stack->insertWidget(1, m_nextTrackButton);
    m_stack->setCurrentIndex(1);

    const QFont captionFont(QStringLiteral("Arial"), 14);
    m_captionLabel->setFont(captionFont);
    m_captionLabel->setText(tr("<font color=#525252>Tessaro Audio Recorder</font>"));
    const int line = QFontMetrics(captionFont).height();
    const QPixmap logo(QStringLiteral(":/VeloranLogo.png"));
    if (!logo.isNull())
        setLabelPixmap(m_logoLabel, logo.scaledToHeight(int(1.3 * line), Qt::SmoothTransformation),
                       0.7);
    const QPixmap picture(QStringLiteral(":/Vizuvava.png"));
    if (!picture.isNull())
        setLabelPixmap(
            m_pictureLabel,
            picture.scaled(3 * line, 3 * line, Qt::IgnoreAspectRatio, Qt::SmoothTransformation),
            0.3);
    m_pictureLabel->setAlignment(Qt::AlignRight);

    m_timeLabel->setFont(QFont(QStringLiteral("Courier"), 17));
    m_timeLabel->setFixedWidth(
        QFontMetrics(m_timeLabel->font()).horizontalAdvance(QStringLiteral("-- :-- :--")));
    m_timeLabel->setText(QStringLiteral("--:--:--"));
    m_timeLabel->setToolTip(tr("time of the whole recording"));
    m_trackTimeLabel->setFont(QFont(QStringLiteral("Courier"), 12));
    m_trackTimeLabel->setFixedWidth(
        QFontMetrics(m_trackTimeLabel->font())
            .horizontalAdvance(trackTimeText(QStringLiteral("-- :-- :--"))));
    m_trackTimeLabel->setText(trackTimeText(QStringLiteral("--:--:--")));
    m_trackTimeLabel->setToolTip(tr("time of the current track"));
}

void MainWindow::connectWidgets()
{
    connect(m_closeButton, &QPushButton::clicked, this, &QWidget::close);
    connect(m_recordButton, &QPushButton::clicked, this, &MainWindow::onStartRec);
    connect(m_stopButton, &QPushButton::clicked, this, &MainWindow::onStopRec);
    connect(m_settingsButton, &QPushButton::clicked, this, &MainWindow::onConfig);
    connect(m_nextTrackButton, &QPushButton::clicked, this, &MainWindow::onNextTrack);
}

void MainWindow::layoutWidgets()
{
    auto* central = new QWidget(this);
    auto* grid = new QGridLayout(central);
    // The picture has a column of its own beside the caption and the rows under it, so it
    // covers none of them.
    grid->addWidget(m_logoLabel, 0, 0, 1, 1);
    grid->addWidget(m_captionLabel, 0, 2, 1, 1);
    grid->addWidget(m_pictureLabel, 0, 3, 3, 1);
    grid->addWidget(m_closeButton, 0, 4, 1, 1, Qt::AlignRight | Qt::AlignTop);

    grid->addWidget(m_destination, 1, 0, 1, 3);

    QHBoxLayout* transport = rowLayout();
    transport->addWidget(m_timeLabel, 0);
    transport->addWidget(m_trackTimeLabel, 0);
    transport->addWidget(m_stack, 1);
    transport->addWidget(m_stopButton, 1);
    transport->addWidget(m_settingsButton, 1);
    grid->addLayout(transport, 2, 0, 1, 3);
    grid->addWidget(m_status, 3, 0, 1, 5);
    grid->addWidget(m_meters, 4, 0, 1, 5);
    grid->setColumnStretch(1, 1);
    setCentralWidget(central);
}

// Window-wide keys: they work wherever the focus is, in the destination field, on a button or
// in the floating log window. A transport key does what a click on its button does, and only
// when that button is shown and enabled.
void MainWindow::createShortcuts()
{
    auto* refresh = new QShortcut(QKeySequence(Qt::Key_F5), this);
    connect(refresh, &QShortcut::activated, this, &MainWindow::test);
    auto* log = new QShortcut(QKeySequence(QStringLiteral("Ctrl+L")), this);
    connect(log, &QShortcut::activated, this, &MainWindow::toggleLogWindow);
    bindKey(m_recordButton, QStringLiteral("Ctrl+R"), tr("start recording (%1)"));
    bindKey(m_nextTrackButton, QStringLiteral("Ctrl+N"), tr("next track (%1)"));
    bindKey(m_stopButton, QStringLiteral("Ctrl+S"), tr("stop recording (%1)"));
}

void MainWindow::bindKey(QPushButton* button, const QString& key, const QString& toolTip)
{
    const QKeySequence sequence(key);
    button->setToolTip(toolTip.arg(sequence.toString(QKeySequence::NativeText)));
    auto* shortcut = new QShortcut(sequence, this);
    connect(shortcut, &QShortcut::activated, this, [this, button] {
        onTimer(); // the buttons as they are now, not as the last refresh left them
        if (button->isEnabled() && button->isVisibleTo(this))
            button->click();
    });
}

void MainWindow::createLogWindow()
{
    m_logTable = new LogWidget(this);
    m_logTable->addLogObject(m_controller);
    m_logWindow = new QDockWidget(tr("Log"), this);
    m_logWindow->setObjectName(QStringLiteral("LOG"));
    m_logWindow->setWidget(m_logTable);
    m_logWindow->setFloating(true);
    m_logWindow->hide();
    m_logWindow->setMinimumWidth(640);
}

const QString& MainWindow::lastPath() const
{
    return m_destination->lastPath();
}

void MainWindow::updateTitle()
{
    setWindowTitle(tr("Veloran - %1  @%2 kHz")
                       .arg(m_controller->deviceName())
                       .arg(m_controller->sampleRate() / 1000, 0, 'f', 1));
}

void MainWindow::refuseStart(const QString& reason)
{
    m_controller->appendError(tr("recording not started: %1").arg(reason));
    showError(tr("Start Error"), reason);
}

void MainWindow::setStatusText(QString text)
{
    m_status->setStatusText(text);
}

void MainWindow::onTimer()
{
    if (m_finishing) {
        refreshFinishing();
        return;
    }
    if (m_controller->deviceName().isEmpty())
        return;
    const bool recording = m_controller->isRecording();
    const bool away = m_controller->isReconnecting();
    refreshControls(recording, away);
    if (away) {
        m_status->showWaiting();
        return;
    }
    refreshElapsedTime();
    m_status->showState(recording);
}

// While the device is away the take stays in the user's hands (stop ends it), and once nothing
// records so do the settings and the destination: another device or rate may be chosen.
// Nothing new starts once the window is closing.
void MainWindow::refreshControls(bool recording, bool away)
{
    const bool open = !m_finishing;
    const bool transportFocused = m_stack->currentWidget()->hasFocus();
    // Armed, the recording is as good as begun: only stop applies.
    const bool armed = m_controller->isArmed();
    m_recordButton->setEnabled(open && !away && !armed && m_controller->isIdle());
    m_settingsButton->setEnabled(open && !recording && !armed);
    m_stopButton->setEnabled(recording || armed);
    m_nextTrackButton->setEnabled(!away && recording && m_controller->canRecordNextTrack());
    showTransportPage(recording && !away ? 1 : 0, transportFocused);
    m_destination->showRecording(recording || armed || !open, recording && !away,
                                 m_controller->currentFileName());
}

// Record and next track share a place; the focus on one passes to the other, so a user who
// pressed one with the keyboard can press the next without looking for the focus.
void MainWindow::showTransportPage(int page, bool focused)
{
    if (m_stack->currentIndex() == page)
        return;
    m_stack->setCurrentIndex(page);
    if (focused && m_stack->currentWidget()->isEnabled())
        m_stack->currentWidget()->setFocus();
}

// The clock shows the length of the audio recorded, so it matches the file also across an
// unplug, where wall-clock time runs on and the file does not.
void MainWindow::refreshElapsedTime()
{
    if (!m_clockRunning) {
        if (m_timeLabel->text().isEmpty())
            m_timeLabel->setText(QStringLiteral("--:--:--"));
        return;
    }
    m_timeLabel->setText(AsioController::clockText(qint64(m_controller->recordedSeconds())));
    m_trackTimeLabel->setText(
        trackTimeText(AsioController::clockText(qint64(m_controller->trackSeconds()))));
}

// After a close the user agreed to while audio waited in RAM: the window shows what is still
// to be written and closes itself once the writer has stored it all.
void MainWindow::refreshFinishing()
{
    const qint64 waiting = m_controller->bufferedBytes();
    if (waiting <= 0) {
        m_finishing = false;
        close();
        return;
    }
    refreshControls(false, false);
    m_status->showFinishing(waiting);
}

void MainWindow::onNextTrack()
{
    if (m_controller->isRecording() && m_controller->canRecordNextTrack())
        m_controller->recordNextTrack();
}

void MainWindow::onStartRec()
{
    // A typed name with date and time fields stays the pattern: each recording fills it in
    // anew when it starts.
    m_destination->fillPattern();
    if (m_controller->fileName().isEmpty()) {
        refuseStart(tr("Please specify file first"));
        return;
    }
    // The name as given is checked before its extension is fitted, so a folder is refused
    // instead of quietly becoming a file beside it.
    QString problem = RecordingDestination::problem(m_controller->fileName());
    if (problem.isEmpty()) {
        m_destination->conform();
        problem = m_controller->recordingProblem(m_controller->fileName());
    }
    if (!problem.isEmpty()) {
        refuseStart(problem);
        return;
    }
    m_splitAdjuster->adjustSplitSize(m_controller->fileName());
    if (!m_controller->startRecording(m_destination->overwriteAgreed())) {
        showError(tr("Start Error"), tr("Start Recording Failed"));
        return;
    }
    m_destination->clearOverwrite();
    m_clockRunning = true;
    onTimer();
}

void MainWindow::onStopRec()
{
    m_controller->stopRecording();
    m_destination->showPattern();
    m_clockRunning = false;
    onTimer();
}

void MainWindow::onConfig()
{
    QList<double> rates = m_controller->sampleRates();
    if (rates.isEmpty())
        rates = {44100, 48000, 88200};
    // While unplugged the dialog offers the device being waited for, and keeps it on OK, also
    // one that has not been seen since the start.
    const QString device = m_controller->deviceName();
    QStringList drivers = m_controller->driverNames();
    if (!device.isEmpty() && !drivers.contains(device))
        drivers << device;
    AsioConfigDialog dialog(rates, drivers, this);
    dialog.setSampleRate(double(qint64(m_controller->sampleRate())));
    dialog.setDriver(device);
    dialog.setAsioMonitoring(m_controller->isMonitorAsioEnabled());
    dialog.setAutoSplitAt(m_controller->autoSplitSize());
    dialog.setDsdDefault(m_destination->dsdFileType());
    dialog.setEmbedMetadata(m_controller->isEmbedMetadataEnabled());
    dialog.setInputCount(m_controller->inputChannelCount());
    dialog.setInputPair(m_controller->inputPair());
    dialog.setCaptureSettings(m_controller->captureSettings());
    m_controller->stopReconnecting();
    if (dialog.exec() == QDialog::Accepted) {
        const QString chosen = dialog.driver().isEmpty() ? device : dialog.driver();
        // A device waited for since the start has no rate yet: the dialog then shows none.
        const int rate =
            dialog.sampleRate() > 0 ? dialog.sampleRate() : int(m_controller->sampleRate());
        m_controller->setInputPair(dialog.inputPair());
        m_controller->reinitializeDriver(chosen, rate, false);
        const bool monitoring = dialog.asioMonitoring();
        const int split = dialog.autoSplitAt();
        m_destination->setDsdFileType(dialog.dsdDefault());
        m_controller->setEnabledMonitorAsio(monitoring);
        m_controller->setEmbedMetadata(dialog.embedMetadata());
        m_controller->setCaptureSettings(dialog.captureSettings());
        m_controller->setAutoSplitSize(AsioConfigDialog::autoSplitBytes(split));
        updateTitle();
        m_destination->revalidate();
    }
    if (!m_controller->isDriverReady())
        m_controller->startReconnecting();
}

void MainWindow::toggleLogWindow()
{
    m_logWindow->setVisible(!m_logWindow->isVisible());
}

void MainWindow::test()
{
    m_controller->refreshInfo();
}

// Recorded audio lives in RAM until the writer has stored it, so the window neither closes
// during a recording nor, without asking, while data still waits to be written; when the
// user wants to quit anyway it stays until the writer is done, so the process does not go on
// writing unseen.
void MainWindow::closeEvent(QCloseEvent* event)
{
    if (m_finishing) { // the window closes by itself once everything is written
        event->ignore();
        return;
    }
    if (m_controller->isRecording()) {
        showError(tr("Warning"), tr("Please stop recording first."));
        event->ignore();
    } else if (m_controller->bufferedBytes() > 0) {
        const auto answer = askYesNo(
            tr("Storing in progress"),
            tr("We are still saving your precious audio data.\nDo you still want to quit?"));
        // The next refreshes show the count falling and close the window when it is done.
        const qint64 waiting = m_controller->bufferedBytes();
        if (answer == QMessageBox::No || waiting > 0)
            event->ignore();
        if (answer != QMessageBox::No && waiting > 0) {
            m_finishing = true;
            refreshControls(false, false);
            m_status->showFinishing(waiting);
        }
    }
    QApplication::closeAllWindows();
}
