#include "recordingdestination.h"

#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

bool is(const QString& suffix, const char* extension)
{
    return suffix.compare(QLatin1String(extension), Qt::CaseInsensitive) == 0;
}

bool isDsdExtension(const QString& suffix)
{
    return is(suffix, "dsf") || is(suffix, "dff");
}

bool isAudioExtension(const QString& suffix)
{
    return is(suffix, "wav") || isDsdExtension(suffix);
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

const char* const RecordingDestination::NumberingRoom = "_9999_part9999";

QString RecordingDestination::conformedName(const QString& typed, bool dsd, const QString& dsdType,
                                            DsdContainer container)
{
    const QString trimmed = typed.trimmed();
    if (trimmed.isEmpty())
        return QString();
    const QFileInfo info(trimmed);
    const QDir folder(info.absolutePath());
    const QString suffix = info.suffix();
    const QString extension = dsd ? dsdType.toLower() : QStringLiteral("wav");
    const bool fits = !dsd                                 ? is(suffix, "wav")
                      : container == DsdContainer::AsTyped ? isDsdExtension(suffix)
                                                           : is(suffix, qPrintable(extension));
    if (fits)
        return folder.filePath(info.fileName());
    QString base = isAudioExtension(suffix) ? info.completeBaseName() : info.fileName();
    if (base.endsWith(QLatin1Char('.')))
        base.chop(1);
    return folder.filePath(base + QLatin1Char('.') + extension);
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
    const QString tooLong = lengthProblem(info);
    if (!tooLong.isEmpty())
        return tooLong;
    if (info.exists())
        return QString();
    const QString refused = creationProblem(name);
    if (!refused.isEmpty())
        return tr("'%1' cannot be created: %2").arg(name, refused);
    return QString();
}

// A name accepted at the start must still be a valid name for the take's last track and part,
// or the recording would stop in the middle when it splits.
QString RecordingDestination::lengthProblem(const QFileInfo& info)
{
    const long limit = ::pathconf(QFile::encodeName(info.absolutePath()).constData(), _PC_NAME_MAX);
    if (limit <= 0)
        return QString();
    const qint64 longest = QFile::encodeName(info.fileName()).size() + qstrlen(NumberingRoom);
    if (longest <= limit)
        return QString();
    return tr("the name '%1' is too long: with the numbers of its tracks and parts (%2) it needs "
              "%3 bytes, more than the %4 the file system allows")
        .arg(info.fileName(), QLatin1String(NumberingRoom))
        .arg(longest)
        .arg(limit);
}

qint64 RecordingDestination::availableBytes(const QString& name)
{
    const QStorageInfo storage(QFileInfo(name).absolutePath());
    return storage.isValid() ? storage.bytesAvailable() : -1;
}
