#ifndef TESSARO_CLOCKFILENAME_H
#define TESSARO_CLOCKFILENAME_H

#include <QDateTime>
#include <QString>

// A destination may name its file after the moment the recording starts: %Y (year, four
// digits), %m %d %H %M %S (month, day, hour, minute, second, two digits each) are filled in
// from the local time, %% stands for one %. Any other % stays as it is, so an existing name
// that holds a % keeps its meaning.
//
// Threads: any; nothing is shared.
namespace ClockFileName {
bool hasFields(const QString& name);
QString expand(const QString& name, const QDateTime& at);
} // namespace ClockFileName

#endif
