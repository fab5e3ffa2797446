#include "asioconfigdialog.h"

#include "appidentity.h"
#include "appstyle.h"
#include "audiorates.h"

#include <QApplication>
#include <QCheckBox>
#include <QColor>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

AsioConfigDialog::AsioConfigDialog(const QList<double>& rates, const QStringList& drivers,
                                   QWidget* parent)
    : QDialog(parent)
{
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    AppStyle::applyPanelPalette(this);
    setWindowTitle(
        tr("Config Dialog - Software version %1").arg(QString::fromLatin1(AppIdentity::kVersion)));
    setStyleSheet(AppStyle::styleSheet());
    fillChoices(rates, drivers);

    auto* ok = new QPushButton(tr("OK"), this);
    auto* cancel = new QPushButton(tr("Cancel"), this);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    auto* buttons = new QHBoxLayout;
    buttons->setContentsMargins(0, 0, 0, 0);
    buttons->addStretch(1);
    buttons->addWidget(ok);
    buttons->addWidget(cancel);

    QGroupBox* input =
        makeGroup(tr("Input Device Options"), {{fieldLabel(tr("Input Device")), m_driverChoice},
                                               {fieldLabel(tr("Sampling Rate")), m_rateChoice},
                                               {fieldLabel(tr("Inputs")), m_inputsChoice}});
    // The hidden auto-split pair shares row 1 with the DSD type, which takes its place.
    m_autoSplitLabel = fieldLabel(tr("Auto-Split at"));
    QGroupBox* file = makeGroup(tr("File Options"), {{m_autoSplitLabel, m_autoSplitChoice}});
    auto* fileGrid = static_cast<QGridLayout*>(file->layout());
    fileGrid->addWidget(fieldLabel(tr("Default DSD")), 1, 0);
    fileGrid->addWidget(m_dsdChoice, 1, 1);
    m_metadataCheck = new QCheckBox(tr("Record date, time and device in the file"), file);
    m_metadataCheck->setObjectName(QStringLiteral("metadataCheck"));
    m_metadataCheck->setChecked(true);
    fileGrid->addWidget(m_metadataCheck, 2, 1);
    m_autoSplitLabel->hide();
    m_autoSplitChoice->hide();
    QGroupBox* monitoring = makeGroup(tr("Monitoring Options"),
                                      {{fieldLabel(tr("Direct through A/D")), m_monitoringChoice}});

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(input);
    layout->addWidget(file);
    layout->addWidget(monitoring);
    layout->addWidget(makeCaptureGroup());
    layout->addSpacing(int(QFontMetrics(QApplication::font()).height() / 2));
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void AsioConfigDialog::fillChoices(const QList<double>& rates, const QStringList& drivers)
{
    m_driverChoice = new QComboBox(this);
    m_driverChoice->setObjectName(QStringLiteral("driverChoice"));
    m_driverChoice->addItems(drivers);

    m_rateChoice = new QComboBox(this);
    m_rateChoice->setObjectName(QStringLiteral("rateChoice"));
    for (double rate : rates)
        m_rateChoice->addItem(rateText(rate), rate);

    m_autoSplitChoice = new QComboBox(this);
    m_autoSplitChoice->setObjectName(QStringLiteral("autoSplitChoice"));
    m_autoSplitChoice->addItem(tr("Disabled"), -1);
    m_autoSplitChoice->addItem(tr("256 MB"), 256);
    m_autoSplitChoice->addItem(tr("512 MB"), 512);
    m_autoSplitChoice->addItem(tr("1 GB"), 1024);
    m_autoSplitChoice->addItem(tr("2 GB"), 2048);
    m_autoSplitChoice->addItem(tr("3.9 GB"), 3900);

    m_monitoringChoice = new QComboBox(this);
    m_monitoringChoice->setObjectName(QStringLiteral("monitoringChoice"));
    m_monitoringChoice->addItems({tr("Disabled"), tr("Enabled")});

    m_dsdChoice = new QComboBox(this);
    m_dsdChoice->setObjectName(QStringLiteral("dsdChoice"));
    m_dsdChoice->addItems({tr("dff"), tr("dsf")});

    m_inputsChoice = new QComboBox(this);
    m_inputsChoice->setObjectName(QStringLiteral("inputsChoice"));
    setInputCount(2);
}

QGroupBox* AsioConfigDialog::makeGroup(const QString& heading,
                                       const QList<QPair<QLabel*, QWidget*>>& rows)
{
    auto* group = new QGroupBox(this);
    auto* grid = new QGridLayout(group);
    auto* title = new QLabel(heading, group);
    title->setAlignment(Qt::AlignCenter);
    title->setFont(QFont(QStringLiteral("Arial"), 12));
    grid->addWidget(title, 0, 0, 1, 2);
    for (int i = 0; i < rows.size(); ++i) {
        grid->addWidget(rows[i].first, i + 1, 0);
        grid->addWidget(rows[i].second, i + 1, 1);
    }
    grid->setColumnStretch(1, 1);
    group->setStyleSheet(
        tr("QGroupBox { background-color: qlineargradient(x1: 0, y1: 0, x2: 1, y2: 1,stop: 0 %1, "
           "stop: 1 %2); border: 0px solid gray; border-radius: 10px; margin-top: 1ex; "
           "}QGroupBox::title {font: bold 14px;subcontrol-origin: margin;subcontrol-position: "
           "top center;padding: 0 3px;}")
            .arg(colourText(QColor(200, 200, 200)), colourText(QColor(180, 180, 180))));
    return group;
}

QGroupBox* AsioConfigDialog::makeCaptureGroup()
{
    QList<QPair<QLabel*, QWidget*>> rows;
    for (const auto& row : m_capture.rows())
        rows << qMakePair(fieldLabel(row.first), static_cast<QWidget*>(row.second));
    return makeGroup(tr("Capture"), rows);
}

// Every field label has the width of the longest one, so the three groups line up.
QLabel* AsioConfigDialog::fieldLabel(const QString& text)
{
    auto* label = new QLabel(text, this);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    label->setFixedWidth(
        QFontMetrics(label->font()).horizontalAdvance(QStringLiteral(" Direct through A/D ")));
    return label;
}

QString AsioConfigDialog::colourText(const QColor& colour)
{
    return QStringLiteral("#%1%2%3")
        .arg(colour.red(), 2, 16, QLatin1Char('0'))
        .arg(colour.green(), 2, 16, QLatin1Char('0'))
        .arg(colour.blue(), 2, 16, QLatin1Char('0'));
}

QString AsioConfigDialog::rateText(double rate)
{
    const int multiple = int(rate / AudioRates::kDsdBase);
    if (multiple >= 1)
        return tr("DSD %1x (%2 kHz)").arg(multiple).arg(rate / 1000, 0, 'f', 1);
    return tr("%1 kHz").arg(rate / 1000, 0, 'f', 1);
}

qint64 AsioConfigDialog::autoSplitBytes(int itemValue)
{
    if (itemValue == -1)
        return -1;
    return qint64(itemValue) * 1048576;
}

int AsioConfigDialog::sampleRate() const
{
    return m_rateChoice->currentIndex() < 0 ? 0 : int(m_rateChoice->currentData().toDouble());
}

QString AsioConfigDialog::driver() const
{
    return m_driverChoice->currentText();
}

bool AsioConfigDialog::asioMonitoring() const
{
    return m_monitoringChoice->currentText() == tr("Enabled");
}

int AsioConfigDialog::autoSplitAt() const
{
    return m_autoSplitChoice->currentIndex() < 0 ? 0 : m_autoSplitChoice->currentData().toInt();
}

QString AsioConfigDialog::dsdDefault() const
{
    return m_dsdChoice->currentText();
}

void AsioConfigDialog::setSampleRate(double rate)
{
    m_rateChoice->setCurrentIndex(
        m_rateChoice->findText(rateText(rate), Qt::MatchExactly | Qt::MatchCaseSensitive));
}

void AsioConfigDialog::setDriver(QString driver)
{
    m_driverChoice->setCurrentIndex(
        m_driverChoice->findText(driver, Qt::MatchExactly | Qt::MatchCaseSensitive));
}

// The last matching item wins; a size that no item stands for leaves none current, and the
// getter then reports 0.
void AsioConfigDialog::setAutoSplitAt(qlonglong bytes)
{
    int match = -1;
    for (int i = 0; i < m_autoSplitChoice->count(); ++i)
        if (autoSplitBytes(m_autoSplitChoice->itemData(i).toInt()) == bytes)
            match = i;
    m_autoSplitChoice->setCurrentIndex(match);
}

void AsioConfigDialog::setAsioMonitoring(bool enabled)
{
    m_monitoringChoice->setCurrentText(enabled ? tr("Enabled") : tr("Disabled"));
}

void AsioConfigDialog::setDsdDefault(QString filetype)
{
    m_dsdChoice->setCurrentText(filetype);
}

void AsioConfigDialog::setInputCount(long inputs)
{
    m_inputsChoice->clear();
    for (int pair = 1; pair == 1 || 2L * pair <= inputs; ++pair)
        m_inputsChoice->addItem(tr("%1–%2").arg(2 * pair - 1).arg(2 * pair), pair);
}

void AsioConfigDialog::setInputPair(int pair)
{
    m_inputsChoice->setCurrentIndex(qMax(0, m_inputsChoice->findData(pair)));
}

int AsioConfigDialog::inputPair() const
{
    return m_inputsChoice->currentIndex() < 0 ? 1 : m_inputsChoice->currentData().toInt();
}

bool AsioConfigDialog::embedMetadata() const
{
    return m_metadataCheck->isChecked();
}

void AsioConfigDialog::setEmbedMetadata(bool enabled)
{
    m_metadataCheck->setChecked(enabled);
}
