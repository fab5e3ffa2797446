#include "framelesspanel.h"

#include <QFontMetrics>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

FramelessPanel::FramelessPanel(QWidget* parent) : QMainWindow(parent, Qt::FramelessWindowHint) {}

void FramelessPanel::showError(const QString& title, const QString& text)
{
    runLampBox(QMessageBox::Critical, title, text, QMessageBox::NoButton);
}

QMessageBox::StandardButton FramelessPanel::askYesNo(const QString& title, const QString& text)
{
    return runLampBox(QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No);
}

QMessageBox::StandardButton FramelessPanel::runLampBox(QMessageBox::Icon icon, const QString& title,
                                                       const QString& text,
                                                       QMessageBox::StandardButtons buttons)
{
    QMessageBox box(icon, title, text, buttons, this,
                    Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    const int side = 2 * QFontMetrics(box.font()).height();
    const QPixmap lamp(QStringLiteral(":/lamp_128.png"));
    if (!lamp.isNull())
        box.setIconPixmap(lamp.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    return QMessageBox::StandardButton(box.exec());
}

void FramelessPanel::setLabelPixmap(QLabel* label, const QPixmap& pixmap, qreal opacity)
{
    QPixmap faded(pixmap.size());
    faded.fill(Qt::transparent);
    QPainter painter(&faded);
    painter.setOpacity(opacity);
    painter.drawPixmap(0, 0, pixmap);
    painter.end();
    label->setPixmap(faded);
}

void FramelessPanel::mousePressEvent(QMouseEvent* event)
{
    m_dragging = true;
    m_dragOffset = event->globalPos() - frameGeometry().topLeft();
    setCursor(Qt::SizeAllCursor);
    event->accept();
}

void FramelessPanel::mouseMoveEvent(QMouseEvent* event)
{
    if (m_dragging) {
        move(event->globalPos() - m_dragOffset);
        event->accept();
    }
}

void FramelessPanel::mouseReleaseEvent(QMouseEvent* event)
{
    m_dragging = false;
    unsetCursor();
    event->accept();
}

void FramelessPanel::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()), 6, 20, Qt::RelativeSize);
    setMask(QRegion(path.toFillPolygon().toPolygon(), Qt::OddEvenFill));
}
