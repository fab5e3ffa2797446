#ifndef TESSARO_MAINWINDOW_H
#define TESSARO_MAINWINDOW_H

#include "framelesspanel.h"

#include <QString>

class AsioController;
class CtrlSplitSizeAdjuster;
class DestinationField;
class LevelMeterWidget;
class LogWidget;
class QDockWidget;
class QLabel;
class QPushButton;
class QStackedWidget;
class QTimer;
class StatusPanel;

// The recorder's only main window: a small frameless grey panel with the destination field,
// the transport buttons, the elapsed time and a status line, plus a floating log window
// (Ctrl+L). It polls the controller ten times a second instead of being notified, so the
// audio and writer threads never touch a widget.
//
// Threads: GUI thread only. The controller's queries it reads are atomics or values one
// refresh old at worst; every command is a direct call on the controller.
class MainWindow : public FramelessPanel
{
    Q_OBJECT
public:
    MainWindow(AsioController* controller, CtrlSplitSizeAdjuster* splitAdjuster,
               const QString& path, const QString& dsdType, QWidget* parent = nullptr);

    // The destination as the user gave it, for the settings.
    const QString& lastPath() const;
    virtual void updateTitle();

    LogWidget* logTable() const { return m_logTable; }
    QDockWidget* logWindow() const { return m_logWindow; }

public slots:
    virtual void onTimer();
    virtual void onNextTrack();
    virtual void onStartRec();
    virtual void onStopRec();
    virtual void onConfig();
    virtual void toggleLogWindow();
    virtual void test();
    virtual void setStatusText(QString text);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void createWidgets();
    void styleWidgets();
    void layoutWidgets();
    void connectWidgets();
    void createLogWindow();
    void createShortcuts();
    void bindKey(QPushButton* button, const QString& key, const QString& toolTip);
    void refreshControls(bool recording, bool away);
    void showTransportPage(int page, bool focused);
    void refreshElapsedTime();
    void refreshFinishing();
    void refuseStart(const QString& reason);

    QPushButton* m_recordButton = nullptr;
    QStackedWidget* m_stack = nullptr;
    QPushButton* m_nextTrackButton = nullptr;
    QPushButton* m_stopButton = nullptr;
    QPushButton* m_settingsButton = nullptr;
    QPushButton* m_closeButton = nullptr;
    QLabel* m_timeLabel = nullptr;      // the whole recording
    QLabel* m_trackTimeLabel = nullptr; // its current track
    StatusPanel* m_status = nullptr;
    DestinationField* m_destination = nullptr;
    QLabel* m_logoLabel = nullptr;
    QLabel* m_captionLabel = nullptr;
    QLabel* m_pictureLabel = nullptr;
    QDockWidget* m_logWindow = nullptr;
    LogWidget* m_logTable = nullptr;
    QTimer* m_timer = nullptr;
    LevelMeterWidget* m_meters = nullptr;

    AsioController* m_controller;
    CtrlSplitSizeAdjuster* m_splitAdjuster;
    bool m_clockRunning = false; // from a successful start to a stop
    bool m_finishing = false;    // closing: waits until the writer has stored everything
};

#endif
