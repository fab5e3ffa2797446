#include "destinationfield.h"

#include "asiocontroller.h"
#include "clockfilename.h"
#include "recordingdestination.h"

#include <QDateTime>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

DestinationField::DestinationField(AsioController* controller, const QString& path,
                                   const QString& dsdType, QWidget* parent)
    : QWidget(parent), m_controller(controller), m_pathEdit(new QLineEdit(this)),
      m_browseButton(new QPushButton(tr("..."), this)), m_lastPath(path), m_dsdFileType(dsdType)
{
    m_pathEdit->setObjectName(QStringLiteral("pathEdit"));
    m_browseButton->setObjectName(QStringLiteral("browseButton"));
    m_pathEdit->setFont(QFont(QStringLiteral("Arial Narrow"), 12));
    m_pathEdit->setFixedHeight(m_browseButton->height() - 2);
    m_pathEdit->setToolTip(tr("destination filename"));
    m_browseButton->setToolTip(tr("choose destination file"));
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(m_pathEdit, 1);
    row->addWidget(m_browseButton, 0);
    connect(m_browseButton, &QPushButton::clicked, this, &DestinationField::browse);
    connect(m_pathEdit, &QLineEdit::textEdited, this, &DestinationField::onEdited);
}

void DestinationField::fillPattern()
{
    if (ClockFileName::hasFields(m_lastPath))
        m_controller->setFileName(ClockFileName::expand(m_lastPath, QDateTime::currentDateTime()));
}

// The recording's file type follows the data, not the typed name: a destination whose
// extension does not fit the mode gets the mode's, and the overwrite question is about the
// file that will really be written.
void DestinationField::conform()
{
    const QString typed = m_controller->fileName();
    const QString name =
        RecordingDestination::conformedName(typed, m_controller->isDsd(), m_dsdFileType);
    if (name == typed)
        return;
    m_controller->setFileName(name);
    m_pathEdit->setText(name);
    if (!ClockFileName::hasFields(m_lastPath))
        m_lastPath = name;
    if (QFileInfo(name).suffix() != QFileInfo(typed).suffix())
        askOverwrite(name);
}

// A file that already carries the new name is only overwritten when the user says so.
void DestinationField::revalidate()
{
    const QString text = m_pathEdit->text();
    if (text.isEmpty())
        return;
    const QString name = normalizedFileName(text);
    if (name.isEmpty())
        return;
    m_controller->setFileName(name);
    m_pathEdit->setText(m_controller->fileName());
    if (name != text)
        askOverwrite(name);
}

void DestinationField::showRecording(bool locked, bool showCurrent, const QString& currentFile)
{
    m_pathEdit->setReadOnly(locked);
    m_browseButton->setEnabled(!locked);
    if (showCurrent && m_pathEdit->text() != currentFile)
        m_pathEdit->setText(currentFile);
}

void DestinationField::showPattern()
{
    if (ClockFileName::hasFields(m_lastPath))
        m_pathEdit->setText(m_lastPath);
}

void DestinationField::browse()
{
    const QString filter = m_controller->isDsd() ? QStringLiteral("(*.%1)").arg(m_dsdFileType)
                                                 : QStringLiteral("(*.wav)");
    const QString start =
        normalizedFileName(m_pathEdit->text().isEmpty() ? m_lastPath : m_pathEdit->text());
    const QString chosen = QFileDialog::getSaveFileName(this, tr("output"), start, filter);
    if (chosen.isEmpty())
        return;
    const QString name = normalizedFileName(chosen);
    m_pathEdit->setText(name);
    onEdited(name);
    // The file dialog has already asked whether an existing file may be replaced.
    m_overwrite = true;
}

// The one place a typed name enters: trimmed here, so the existence check, the overwrite
// question, the numbering, the file type and the writer all see the same name.
void DestinationField::onEdited(QString path)
{
    path = path.trimmed();
    m_controller->setFileName(path);
    m_lastPath = path;
    m_overwrite = false;
}

// Browsing and a settings change name the DSD container the user chose in the settings.
QString DestinationField::normalizedFileName(const QString& path) const
{
    return RecordingDestination::conformedName(path, m_controller->isDsd(), m_dsdFileType,
                                               RecordingDestination::DsdContainer::FromSettings);
}

void DestinationField::askOverwrite(const QString& name)
{
    if (!QFileInfo::exists(name))
        return;
    // Replacing a take is the one answer that loses data: Enter and Escape both keep the file.
    QMessageBox box(QMessageBox::Question, tr("Confirm Overwrite"),
                    tr("Do you want to overwrite '%1'?").arg(name),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    m_overwrite = box.exec() == QMessageBox::Yes;
}
