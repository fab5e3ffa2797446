#include "clockfilename.h"

namespace {

// The text of field f at that moment; empty for a character that is no field.
QString field(QChar f, const QDateTime& at)
{
    const auto two = [](int value) {
        return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0'));
    };
    switch (f.unicode()) {
    case 'Y':
        return QStringLiteral("%1").arg(at.date().year(), 4, 10, QLatin1Char('0'));
    case 'm':
        return two(at.date().month());
    case 'd':
        return two(at.date().day());
    case 'H':
        return two(at.time().hour());
    case 'M':
        return two(at.time().minute());
    case 'S':
        return two(at.time().second());
    case '%':
        return QStringLiteral("%");
    default:
        return {};
    }
}

} // namespace

namespace ClockFileName {

bool hasFields(const QString& name)
{
    return expand(name, QDateTime(QDate(2000, 1, 1), QTime(0, 0))) != name;
}

QString expand(const QString& name, const QDateTime& at)
{
    QString out;
    out.reserve(name.size() + 8);
    for (int i = 0; i < name.size(); ++i) {
        const QString text =
            name[i] == QLatin1Char('%') && i + 1 < name.size() ? field(name[i + 1], at) : QString();
        if (text.isEmpty()) {
            out += name[i];
        } else {
            out += text;
            ++i;
        }
    }
    return out;
}

} // namespace ClockFileName
