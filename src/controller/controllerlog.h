#ifndef TESSARO_CONTROLLERLOG_H
#define TESSARO_CONTROLLERLOG_H

#include <QColor>
#include <QString>

// Where the parts of the controller write their log lines: the controller, which carries them
// as one stream under one source. GUI thread only.
class ControllerLog
{
public:
    virtual void appendDebug(QString msg) = 0;
    virtual void appendInfo(QString msg, QColor col = Qt::black) = 0;
    virtual void appendWarning(QString msg, QColor col = QColor(204, 100, 0)) = 0;
    virtual void appendError(QString msg, QColor col = Qt::red) = 0;

protected:
    ~ControllerLog() = default;
};

#endif
