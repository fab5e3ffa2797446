#ifndef TESSARO_FRAMELESSPANEL_H
#define TESSARO_FRAMELESSPANEL_H

#include <QMainWindow>
#include <QMessageBox>
#include <QPoint>

class QLabel;

// A frameless main window with rounded corners that the user moves by dragging it anywhere,
// and the modal boxes that go with it, which show the lamp picture in place of the standard
// icon.
//
// Threads: GUI thread only.
class FramelessPanel : public QMainWindow
{
    Q_OBJECT
public:
    explicit FramelessPanel(QWidget* parent = nullptr);

    void showError(const QString& title, const QString& text);
    QMessageBox::StandardButton askYesNo(const QString& title, const QString& text);
    static void setLabelPixmap(QLabel* label, const QPixmap& pixmap, qreal opacity);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QMessageBox::StandardButton runLampBox(QMessageBox::Icon icon, const QString& title,
                                           const QString& text,
                                           QMessageBox::StandardButtons buttons);

    bool m_dragging = false;
    QPoint m_dragOffset;
};

#endif
