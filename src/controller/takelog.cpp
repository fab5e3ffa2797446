#include "takelog.h"

#include "audiofilerepair.h"
#include "audiofilewriter.h"

#include <QFileInfo>

namespace {

// The name as the user knows it: the folder is the destination's, shown in its field.
QString shownName(const QString& path)
{
    return QFileInfo(path).fileName();
}

} // namespace

TakeLog::TakeLog(QObject* parent) : QObject(parent) {}

void TakeLog::follow(AudioFileWriter* writer)
{
    connect(writer, &AudioFileWriter::fileOpened, this, &TakeLog::onFileOpened,
            Qt::QueuedConnection);
    connect(writer, &AudioFileWriter::fileClosed, this, &TakeLog::onFileClosed,
            Qt::QueuedConnection);
}

void TakeLog::startTake()
{
    trackNumber_ = 1;
}

void TakeLog::startTrack()
{
    ++trackNumber_;
}

QString TakeLog::lengthText(double seconds)
{
    const qint64 tenths = qMax<qint64>(0, qRound64(seconds * 10));
    const qint64 whole = tenths / 10;
    const QLatin1Char zero('0');
    return QStringLiteral("%1:%2:%3.%4")
        .arg(whole / 3600, 2, 10, zero)
        .arg(whole / 60 % 60, 2, 10, zero)
        .arg(whole % 60, 2, 10, zero)
        .arg(tenths % 10);
}

void TakeLog::onFileOpened(const QString& name)
{
    emit info(tr("recording into %1").arg(shownName(name)));
}

void TakeLog::onFileClosed(const QString& name)
{
    const AudioFileRepair::Result file = AudioFileRepair::inspect(name);
    if (file.outcome != AudioFileRepair::Outcome::Complete) {
        emit warning(tr("closed %1, but it cannot be read back: %2").arg(name, file.reason));
        return;
    }
    emit info(tr("closed %1: %2, %3 MB")
                  .arg(shownName(name), lengthText(file.seconds))
                  .arg(double(file.length) / 1e6, 0, 'f', 1));
}
