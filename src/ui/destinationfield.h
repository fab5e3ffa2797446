#ifndef TESSARO_DESTINATIONFIELD_H
#define TESSARO_DESTINATIONFIELD_H

#include <QString>
#include <QWidget>

class AsioController;
class QLineEdit;
class QPushButton;

// The destination row: the file name field and its "..." button. It keeps the name as the user
// gave it (a name with date and time fields stays the pattern every recording fills in anew),
// whether the user agreed to replace an existing file, and the DSD container chosen in the
// settings; it fits the name's extension to the recording mode before a start and after a
// mode change, and asks before a fitted name replaces a file.
//
// Threads: GUI thread only; the controller is called directly.
class DestinationField : public QWidget
{
    Q_OBJECT
public:
    DestinationField(AsioController* controller, const QString& path, const QString& dsdType,
                     QWidget* parent);

    const QString& lastPath() const { return m_lastPath; }
    const QString& dsdFileType() const { return m_dsdFileType; }
    void setDsdFileType(const QString& type) { m_dsdFileType = type; }

    // Before a start: a pattern becomes this recording's name, and the name gets the
    // extension of the recording's data.
    void fillPattern();
    void conform();
    // After the mode changed the name may need the other extension.
    void revalidate();
    // Whether the user agreed to replace the file; a successful start uses the answer up.
    bool overwriteAgreed() const { return m_overwrite; }
    void clearOverwrite() { m_overwrite = false; }

    // Locked while a recording runs or waits for its trigger, and while the window closes;
    // showing the file being written while a recording runs (next track and parts move it on).
    void showRecording(bool locked, bool showCurrent, const QString& currentFile);
    void showPattern();

public slots:
    void browse();
    void onEdited(QString path);

private:
    QString normalizedFileName(const QString& path) const;
    void askOverwrite(const QString& name);

    AsioController* m_controller;
    QLineEdit* m_pathEdit;
    QPushButton* m_browseButton;
    QString m_lastPath;
    QString m_dsdFileType;
    bool m_overwrite = false;
};

#endif
