#ifndef TESSARO_ASIOCONFIGDIALOG_H
#define TESSARO_ASIOCONFIGDIALOG_H

#include "capturefields.h"

#include <QDialog>
#include <QList>
#include <QStringList>

class QCheckBox;
class QColor;
class QComboBox;
class QGroupBox;
class QLabel;
class QWidget;

// The settings dialog: input device, sampling rate, the pair of inputs recorded, DSD file type,
// whether files carry their recording's metadata, monitoring through the device, hands-free
// capture, plus an auto-split choice that is built but not shown. It only reads and sets its own
// controls; the main window applies the result to the controller.
//
// Threads: GUI thread only.
class AsioConfigDialog : public QDialog
{
    Q_OBJECT
public:
    AsioConfigDialog(const QList<double>& rates, const QStringList& drivers,
                     QWidget* parent = nullptr);

    virtual int sampleRate() const;
    virtual QString driver() const;
    virtual bool asioMonitoring() const;
    virtual int autoSplitAt() const;
    virtual QString dsdDefault() const;
    // Whether new files carry the date, time and device of their recording.
    bool embedMetadata() const;
    // The pair of adjacent inputs chosen: 1 for inputs 1-2, 2 for 3-4, ...
    int inputPair() const;
    CaptureSettings captureSettings() const { return m_capture.settings(); }

    // The split size in bytes that an auto-split item value stands for: value * 1048576, and
    // -1 (no splitting) for "Disabled" (-1). The values count mebibytes in both directions,
    // when an item is selected from the controller's size and when the main window applies
    // the chosen item on OK, so a size read and applied unchanged stays unchanged. With two
    // different units an untouched dialog would shift the controller's size on every OK.
    static qint64 autoSplitBytes(int itemValue);

public slots:
    virtual void setSampleRate(double rate);
    virtual void setDriver(QString driver);
    virtual void setAutoSplitAt(qlonglong bytes);
    virtual void setAsioMonitoring(bool enabled);
    virtual void setDsdDefault(QString filetype);
    void setEmbedMetadata(bool enabled);
    // Offers the pairs of a device with that many inputs ("1–2", "3–4", ...; at least the first).
    void setInputCount(long inputs);
    // Selects the pair; one that is not offered selects the first.
    void setInputPair(int pair);
    void setCaptureSettings(const CaptureSettings& settings) { m_capture.setSettings(settings); }

private:
    // "DSD 2x (5644.8 kHz)" or "44.1 kHz", the text the controller shows for its current rate.
    static QString rateText(double rate);
    void fillChoices(const QList<double>& rates, const QStringList& drivers);
    QGroupBox* makeGroup(const QString& heading, const QList<QPair<QLabel*, QWidget*>>& rows);
    QGroupBox* makeCaptureGroup();
    QLabel* fieldLabel(const QString& text);
    static QString colourText(const QColor& colour);

    QComboBox* m_driverChoice = nullptr;
    QComboBox* m_rateChoice = nullptr;
    QComboBox* m_autoSplitChoice = nullptr;
    QComboBox* m_monitoringChoice = nullptr;
    QComboBox* m_dsdChoice = nullptr;
    QComboBox* m_inputsChoice = nullptr;
    QLabel* m_autoSplitLabel = nullptr;
    QCheckBox* m_metadataCheck = nullptr;
    CaptureFields m_capture{this};
};

#endif
