#include "recordingdestination.h"

#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

bool isDsdExtension(const QString& suffix)
{
    return suffix.compare(QLatin1String("dsf"), Qt::CaseInsensitive) == 0
           || suffix.compare(QLatin1String("dff"), Qt::CaseInsensitive) == 0;
}

bool fitsData(const QString& suffix, bool dsd)
{
    return dsd ? isDsdExtension(suffix)
               : suffix.compare(QLatin1String("wav"), Qt::CaseInsensitive) == 0;
}

// Creating the file is the only sure way to learn whether the file system takes this name
// (length limits, characters a FAT volume refuses, a read-only mount).
QString creationProblem(const QString& name)
{
    const QByteArray path = QFile::encodeName(name);
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno == EEXIST ? QString() : QString::fromLocal8Bit(std::strerror(errno));
    ::close(fd);
    ::unlink(path.constData());
    return QString();
}

} // namespace

QString RecordingDestination::conformedName(const QString& typed, bool dsd, const QString& dsdType)
{
    const QString trimmed = typed.trimmed();
    if (trimmed.isEmpty())
        return QString();
    const QFileInfo info(trimmed);
    const QString folder = info.absolutePath();
    if (fitsData(info.suffix(), dsd))
        return QDir(folder).filePath(info.fileName());
    const QString extension = dsd ? dsdType.toLower() : QStringLiteral("wav");
    const QString base = info.suffix().isEmpty() ? info.fileName() : info.completeBaseName();
    return QDir(folder).filePath(base + QLatin1Char('.') + extension);
}

QString RecordingDestination::problem(const QString& name)
{
    if (name.trimmed().isEmpty())
        return tr("no destination file name is given");
    const QFileInfo info(name);
    if (info.isDir())
        return tr("'%1' is a folder, not a file").arg(name);
    const QFileInfo folder(info.absolutePath());
    if (!folder.exists())
        return tr("the folder '%1' does not exist").arg(folder.filePath());
    if (!folder.isDir())
        return tr("'%1' is not a folder").arg(folder.filePath());
    if (::access(QFile::encodeName(folder.filePath()).constData(), W_OK) != 0)
        return tr("the folder '%1' cannot be written: %2")
            .arg(folder.filePath(), QString::fromLocal8Bit(std::strerror(errno)));
    if (info.exists())
        return QString();
    const QString refused = creationProblem(name);
    if (!refused.isEmpty())
        return tr("'%1' cannot be created: %2").arg(name, refused);
    return QString();
}

qint64 RecordingDestination::availableBytes(const QString& name)
{
    const QStorageInfo storage(QFileInfo(name).absolutePath());
    return storage.isValid() ? storage.bytesAvailable() : -1;
}
