#include "nextnumberedname.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

QString nextNumberedName(const QString& fileName, const QString& marker)
{
    const QFileInfo info(fileName);
    const QString name = info.fileName();
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    const QString suffix = dot >= 0 ? name.mid(dot + 1) : QString();
    const QString base = dot >= 0 ? name.left(dot) : name;

    const int n = marker.size() + 4;
    QString stem = base;
    int number = 2;
    const QRegularExpression numbered(
        QStringLiteral("^%1\\d{4}$").arg(QRegularExpression::escape(marker)));
    if (base.size() > n && numbered.match(base.right(n)).hasMatch()) {
        stem = base.left(base.size() - n);
        number = base.right(4).toInt() + 1;
    }
    const QString next = stem + marker + QStringLiteral("%1").arg(number, 4, 10, QLatin1Char('0')) +
                         QLatin1Char('.') + suffix;
    return QDir(info.absolutePath()).absoluteFilePath(next);
}
