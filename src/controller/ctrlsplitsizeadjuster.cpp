#include "ctrlsplitsizeadjuster.h"

#include "asiocontroller.h"
#include "winfsinfo.h"

#include <QFileInfo>
#include <QSettings>

CtrlSplitSizeAdjuster::CtrlSplitSizeAdjuster(AsioController* controller) : controller(controller) {}

void CtrlSplitSizeAdjuster::adjustSplitSize(const QString& filePath)
{
    const bool isNtfs = WinFsInfo::fileSystemName(filePath) == QLatin1String("NTFS");
    const bool isWav = QFileInfo(filePath).suffix().toLower() == QLatin1String("wav");
    qint64 size;
    QString prefix;
    if (isWav) {
        size = wavThreshold;
        prefix = QObject::tr("WAV detected -> ");
    } else if (isNtfs) {
        size = ntfsThreshold;
        prefix = QObject::tr("NTFS detected -> ");
    } else {
        size = fat32Threshold;
        prefix = QObject::tr("NOT NTFS -> assume FAT32 -> ");
    }
    controller->setAutoSplitSize(size);
    controller->appendInfo(prefix + splitDescription(size), Qt::black);
}

// Limits below a GB, as tests and small media use, are given in MB: in GB they would all read
// as 0.00.
QString CtrlSplitSizeAdjuster::splitDescription(qint64 size)
{
    constexpr double kMB = 1024.0 * 1024.0;
    if (size <= 0)
        return QObject::tr("disable auto file splitting");
    if (size < 1024 * kMB)
        return QObject::tr("enable auto file splitting at ~%1 MB")
            .arg(double(size) / kMB, 0, 'f', 2);
    return QObject::tr("enable auto file splitting at ~%1 GB")
        .arg(double(size) / kMB / 1024, 0, 'f', 2);
}

void CtrlSplitSizeAdjuster::saveSettings(const QString& organisation, const QString& application)
{
    QSettings s(QSettings::IniFormat, QSettings::UserScope, organisation, application);
    s.beginGroup(QStringLiteral("AUTO_SPLIT"));
    s.setValue(QStringLiteral("threshold/comments"),
               QStringLiteral("values are in bytes, negative values = disable auto split"));
    s.setValue(QStringLiteral("threshold/wav"), wavThreshold);
    s.setValue(QStringLiteral("threshold/fat32"), fat32Threshold);
    s.setValue(QStringLiteral("threshold/ntfs"), ntfsThreshold);
    s.endGroup();
}

namespace {

qint64 sizeValue(const QSettings& s, const QString& key, qint64 fallback)
{
    bool ok = false;
    const qint64 value = s.value(key, fallback).toLongLong(&ok);
    return ok ? value : fallback;
}

} // namespace

void CtrlSplitSizeAdjuster::loadSettings(const QString& organisation, const QString& application)
{
    QSettings s(QSettings::IniFormat, QSettings::UserScope, organisation, application);
    s.beginGroup(QStringLiteral("AUTO_SPLIT"));
    wavThreshold = sizeValue(s, QStringLiteral("threshold/wav"), wavThreshold);
    fat32Threshold = sizeValue(s, QStringLiteral("threshold/fat32"), fat32Threshold);
    ntfsThreshold = sizeValue(s, QStringLiteral("threshold/ntfs"), ntfsThreshold);
    s.endGroup();
}
