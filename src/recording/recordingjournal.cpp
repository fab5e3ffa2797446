#include "recordingjournal.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QMutexLocker>
#include <QSaveFile>
#include <QStandardPaths>
#include <fcntl.h>
#include <unistd.h>

namespace {

QString absoluteName(const QString& fileName)
{
    return QFileInfo(fileName).absoluteFilePath();
}

// A rename reaches the disk only with its directory.
void syncDirectory(const QString& dir)
{
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

RecordingJournal::RecordingJournal(const QString& path, QObject* parent)
    : QObject(parent), path_(path)
{}

QString RecordingJournal::defaultPath()
{
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (!QDir::isAbsolutePath(base))
        base = QDir::home().filePath(QStringLiteral(".local/state"));
    return QDir(base).filePath(QStringLiteral("Veloran/open-recordings"));
}

QString RecordingJournal::path() const
{
    return path_;
}

QStringList RecordingJournal::entries() const
{
    QMutexLocker lock(&mutex);
    return read();
}

void RecordingJournal::clear()
{
    update([](QStringList& lines) { lines.clear(); });
}

void RecordingJournal::add(const QString& fileName)
{
    const QString name = absoluteName(fileName);
    update([&name](QStringList& lines) {
        if (!lines.contains(name))
            lines << name;
    });
}

void RecordingJournal::remove(const QString& fileName)
{
    const QString name = absoluteName(fileName);
    update([&name](QStringList& lines) { lines.removeAll(name); });
}

// Another recorder may change the journal at the same time: the lock file serialises the
// read-modify-write between processes (a lock left by a crashed one counts as stale), the
// mutex between this recorder's threads.
void RecordingJournal::update(const std::function<void(QStringList&)>& change)
{
    QMutexLocker lock(&mutex);
    QDir().mkpath(QFileInfo(path_).absolutePath());
    QLockFile otherRecorders(path_ + QStringLiteral(".lock"));
    otherRecorders.tryLock(2000);
    QStringList lines = read();
    const QStringList before = lines;
    change(lines);
    if (lines != before)
        store(lines);
}

QStringList RecordingJournal::read() const
{
    QFile file(path_);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (!line.isEmpty())
            lines << QString::fromUtf8(line);
    }
    return lines;
}

// Written beside the journal and renamed over it, so a crash in the middle leaves either
// the old or the new list, never half of one.
void RecordingJournal::store(const QStringList& lines)
{
    const QString dir = QFileInfo(path_).absolutePath();
    if (!QDir().mkpath(dir)) {
        emit failed(tr("the recording journal %1 cannot be written: the folder %2 cannot be made")
                        .arg(path_, dir));
        return;
    }
    QSaveFile file(path_);
    bool ok = file.open(QIODevice::WriteOnly);
    if (ok) {
        for (const QString& line : lines)
            file.write(line.toUtf8() + '\n');
        ok = file.flush() && ::fsync(file.handle()) == 0 && file.commit();
    }
    if (!ok) {
        emit failed(
            tr("the recording journal %1 cannot be written: %2").arg(path_, file.errorString()));
        return;
    }
    syncDirectory(dir);
}
