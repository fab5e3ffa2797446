#ifndef TESSARO_CAPTUREFIELDS_H
#define TESSARO_CAPTUREFIELDS_H

#include "capturesettings.h"

#include <QCoreApplication>
#include <QList>
#include <QPair>
#include <QString>

class QDoubleSpinBox;
class QWidget;

// The settings dialog's "Capture" choices: one spin box per choice of hands-free capture, with
// the limits the settings file and the command line apply, 0 shown as "off" where it switches the
// choice off. The dialog lays them out; the boxes belong to its parent.
//
// Threads: GUI thread only.
class CaptureFields
{
    Q_DECLARE_TR_FUNCTIONS(CaptureFields)
public:
    explicit CaptureFields(QWidget* parent);

    // The label text and the box of each choice, in the order of CaptureSettings::fields().
    QList<QPair<QString, QDoubleSpinBox*>> rows() const { return m_rows; }
    CaptureSettings settings() const;
    void setSettings(const CaptureSettings& settings);

private:
    QList<QPair<QString, QDoubleSpinBox*>> m_rows;
};

#endif
