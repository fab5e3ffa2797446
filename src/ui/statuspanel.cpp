#include "statuspanel.h"

#include "asiocontroller.h"
#include "capturesettings.h"
#include "takelog.h"

#include <QFileInfo>
#include <QFontMetrics>
#include <QLineEdit>
#include <QVBoxLayout>

namespace {

// "Arial Narrow" where it is installed; elsewhere a narrow face of the same kind rather than
// whatever wide face the system substitutes.
QFont narrowFont()
{
    QFont font(QStringLiteral("Arial Narrow"), 12);
    font.setFamilies({QStringLiteral("Arial Narrow"), QStringLiteral("Liberation Sans Narrow"),
                      QStringLiteral("DejaVu Sans Condensed")});
    return font;
}

QLineEdit* statusField(const char* name, QWidget* parent)
{
    auto* line = new QLineEdit(parent);
    line->setObjectName(QString::fromLatin1(name));
    line->setReadOnly(true);
    line->setFocusPolicy(Qt::NoFocus);
    line->setFont(narrowFont());
    return line;
}

// A device name of the length most drivers report, for the width the status line asks for.
const int kUsualDeviceLetters = 16;

} // namespace

StatusPanel::StatusPanel(AsioController* controller, QWidget* parent)
    : QWidget(parent), m_controller(controller), m_statusLine(statusField("statusLine", this)),
      m_noteLine(statusField("noteLine", this)), m_reasonLine(statusField("reasonLine", this)),
      m_fileLine(statusField("fileLine", this))
{
    auto* lines = new QVBoxLayout(this);
    lines->setContentsMargins(0, 0, 0, 0);
    lines->setSpacing(1);
    for (QLineEdit* line : {m_statusLine, m_noteLine, m_reasonLine, m_fileLine})
        lines->addWidget(line);
    updateMinimumWidth();
}

// The longest texts each line can hold, with the largest figures they can show.
void StatusPanel::updateMinimumWidth()
{
    const QString device(kUsualDeviceLetters, QLatin1Char('n'));
    const QStringList longest{
        device + QStringLiteral(" - ") + tr("recording ") + tr("DSD %1x ").arg(4) +
            tr(" @%1").arg(tr("DSD %1x (%2 kHz)").arg(4).arg(11289.6, 0, 'f', 1)),
        tr("waiting for %1 (please check your USB connection)").arg(device),
        tr(" (%1 left)").arg(QStringLiteral("100:00:00")) +
            tr(" (slow drive! using %1 MB RAM)").arg(4095.9, 0, 'f', 1),
        tr("recording stopped: %1").arg(tr("RAM buffer full (the disk is too slow)")),
        device + QStringLiteral(" - ") + CaptureSettings::armedText(-119.5),
    };
    const QFontMetrics metrics(m_statusLine->font());
    int widest = 0;
    for (const QString& text : longest)
        widest = qMax(widest, metrics.horizontalAdvance(text));
    // room() keeps two average letters free; the line's frame and inner margins take a few
    // pixels more.
    setMinimumWidth(widest + 2 * metrics.averageCharWidth() + 8);
}

int StatusPanel::room(const QLineEdit* line)
{
    const QFontMetrics metrics(line->font());
    return line->contentsRect().width() - 2 * metrics.averageCharWidth();
}

// Writes only a changed text, which keeps an unchanged line free of repaints. A text wider
// than its line is cut at the right as the last resort; the tool tip holds the whole text.
void StatusPanel::setLine(QLineEdit* line, const QString& text, const QString& whole)
{
    const QString shown =
        QFontMetrics(line->font()).elidedText(text, Qt::ElideRight, qMax(0, room(line)));
    if (line->text() == shown && line->toolTip() == whole)
        return;
    line->setText(shown);
    line->setToolTip(whole);
    line->setCursorPosition(0);
}

void StatusPanel::setStatusText(const QString& text)
{
    m_devicePattern.clear();
    setLine(m_statusLine, text, text);
}

void StatusPanel::setDeviceLine(const QString& pattern)
{
    m_devicePattern = pattern;
    const QString device = m_controller->deviceName();
    const QFontMetrics metrics(m_statusLine->font());
    const int rest = metrics.horizontalAdvance(pattern.arg(QString()));
    const QString fitted = metrics.elidedText(device, Qt::ElideRight, room(m_statusLine) - rest);
    setLine(m_statusLine, pattern.arg(fitted), pattern.arg(device));
}

// The lines are fitted to their width when written; a new width fits the same texts again.
void StatusPanel::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    for (QLineEdit* line : {m_statusLine, m_noteLine, m_reasonLine, m_fileLine})
        setLine(line, line->toolTip(), line->toolTip());
    if (!m_devicePattern.isEmpty())
        setDeviceLine(m_devicePattern);
}

void StatusPanel::showState(bool recording)
{
    const bool armed = m_controller->isArmed();
    setDeviceLine(QStringLiteral("%1 - ") +
                  (armed ? CaptureSettings::armedText(m_controller->captureSettings().startLevelDb)
                         : stateText(recording) + formatText()));
    const QString notes = notesText(recording), reason = reasonText(recording);
    setLine(m_noteLine, notes, notes);
    setLine(m_reasonLine, reason, reason);
    const QString file = fileText(recording);
    setLine(m_fileLine, file, file);
}

// Below it, what the driver says keeps its device from starting (another program holding the
// card), which tells more than the plea to check the cable.
void StatusPanel::showWaiting()
{
    setDeviceLine(tr("waiting for %1 (please check your USB connection)"));
    const QString problem = m_controller->driverProblem();
    setLine(m_noteLine, problem, problem);
}

void StatusPanel::showFinishing(qint64 bytes)
{
    setStatusText(tr("finishing: %1 MB to write").arg(double(bytes) / 1024 / 1024, 0, 'f', 1));
    setLine(m_noteLine, QString(), QString());
}

QString StatusPanel::stateText(bool recording) const
{
    if (recording)
        return tr("recording ");
    return m_controller->bufferFill() > 0 ? tr("flushing ") : tr("stopped ");
}

QString StatusPanel::formatText() const
{
    const QString mode = m_controller->isDsd()
                             ? tr("DSD %1x ").arg(m_controller->dsdMultiplier(), 0, 'g', 6)
                             : tr("PCM ");
    return mode + tr(" @%1").arg(m_controller->sampleRateText());
}

QString StatusPanel::notesText(bool recording) const
{
    QString notes;
    const qint64 left = m_controller->secondsLeft();
    if (recording && left >= 0)
        notes += tr(" (%1 left)").arg(AsioController::clockText(left, 1));
    if (m_controller->isSlowDrive())
        notes += tr(" (slow drive! using %1 MB RAM)")
                     .arg(double(m_controller->bufferedBytes()) / 1024 / 1024, 0, 'f', 1);
    return notes.trimmed();
}

QString StatusPanel::reasonText(bool recording) const
{
    const QString reason = m_controller->failureText();
    return recording || reason.isEmpty() ? QString() : tr("recording stopped: %1").arg(reason);
}

// The name without its folder, which the destination field shows.
QString StatusPanel::fileText(bool recording) const
{
    if (!recording)
        return QString();
    return tr("track %1: %2")
        .arg(m_controller->takeLog().trackNumber())
        .arg(QFileInfo(m_controller->currentFileName()).fileName());
}
