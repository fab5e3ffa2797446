#include "winfsinfo.h"

#include <QFileInfo>
#include <QStorageInfo>

QString WinFsInfo::nameOfMountType(const QString& type)
{
    if (type == QLatin1String("ntfs") || type == QLatin1String("ntfs3") ||
        type == QLatin1String("fuseblk"))
        return QStringLiteral("NTFS");
    return type;
}

QString WinFsInfo::fileSystemName(const QString& filePath)
{
    QString dir = QFileInfo(filePath).absolutePath();
    while (!QFileInfo::exists(dir)) {
        const QString up = QFileInfo(dir).absolutePath();
        if (up == dir)
            break;
        dir = up;
    }
    const QStorageInfo storage(dir);
    if (!storage.isValid())
        return QString();
    return nameOfMountType(QString::fromLatin1(storage.fileSystemType()));
}
