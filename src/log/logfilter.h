#ifndef TESSARO_LOGFILTER_H
#define TESSARO_LOGFILTER_H

#include <QColor>
#include <QDateTime>
#include <QString>

// Decides which log rows stay out of sight. A LogWidget that is given a filter owns it and
// deletes it when it is replaced, removed or the widget goes away, so filters live on the heap.
class LogFilter
{
public:
    virtual ~LogFilter() = default;

    // True hides the row carrying these values.
    virtual bool hides(const QString& message, const QString& level, const QString& source,
                       const QDateTime& time, const QColor& color, const QColor& bgColor) = 0;
};

#endif
