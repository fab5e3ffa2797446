#ifndef TESSARO_STATUSPANEL_H
#define TESSARO_STATUSPANEL_H

#include <QString>
#include <QWidget>

class AsioController;
class QLineEdit;

// The main window's status area, four read-only lines that are never cut:
// - the status line: the device, the state, the mode and the rate (or the level an armed
//   recorder waits for, the wait for an unplugged device, or the close's progress);
// - the note line: the time left on the disk and the slow-drive warning; while waiting, why
//   the driver would not start the device, in its words (a card another program holds);
// - the reason line: why the last recording stopped by itself;
// - the file line, while recording: the track number and the file being written.
// The lines share one width, and the panel asks for the width their longest known
// texts need, so none of them is cut in any state. Only a device name of unusual length is
// shortened, with an ellipsis; every line keeps its whole text in its tool tip, so a system
// reason longer than any known one is still readable.
//
// Threads: GUI thread only; it reads the controller's queries when the window refreshes.
class StatusPanel : public QWidget
{
    Q_OBJECT
public:
    StatusPanel(AsioController* controller, QWidget* parent = nullptr);

    // One refresh of all lines from the controller.
    void showState(bool recording);
    void showWaiting();
    void showFinishing(qint64 bytes);
    // Sets the status line as it is; writes only when the text changes.
    void setStatusText(const QString& text);

    QLineEdit* statusLine() const { return m_statusLine; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    QString stateText(bool recording) const;
    QString formatText() const;
    QString notesText(bool recording) const;
    QString reasonText(bool recording) const;
    QString fileText(bool recording) const;
    // pattern with %1 for the device name, which alone gives way when the line is short.
    void setDeviceLine(const QString& pattern);
    void updateMinimumWidth();
    static int room(const QLineEdit* line);
    static void setLine(QLineEdit* line, const QString& text, const QString& whole);

    AsioController* m_controller;
    QLineEdit* m_statusLine;
    QLineEdit* m_noteLine;
    QLineEdit* m_reasonLine;
    QLineEdit* m_fileLine;
    QString m_devicePattern; // of the status line while it names the device
};

#endif
