#ifndef TESSARO_LOGWIDGET_H
#define TESSARO_LOGWIDGET_H

#include <QBrush>
#include <QColor>
#include <QList>
#include <QString>
#include <QWidget>
#include <memory>

class LogFilter;
struct LogWidgetData;

// A table of log messages, one row per message (level, time, source, text) in the message's
// colours, with a context menu to show or hide levels, clear rows, copy and save the log. The
// Time column shows the time of day to the millisecond, its tool tip the date as well; copied
// and saved text holds the rows on view, with date and time, in UTF-8.
//
// Threads: everything runs on the GUI thread. Senders on other threads reach append through
// the queued connection that addLogObject makes; no field is shared, so no lock is needed.
class LogWidget : public QWidget
{
    Q_OBJECT
public:
    explicit LogWidget(QWidget* parent = nullptr);
    ~LogWidget() override;

    virtual QString toText() const;
    virtual QString rowText(int row) const;
    virtual bool isErrorsVisible() const;
    virtual bool isWarningsVisible() const;
    virtual bool isInfosVisible() const;
    virtual bool isTypeVisible(const QString& type) const;
    virtual int maximumNumberOfLogs() const;
    virtual QBrush typeBrush(const QString& type) const;
    virtual LogFilter* filter() const;
    virtual int rowHeight() const;

public slots:
    virtual void setDateTimeFormat(const QString& format);
    virtual void setHorizontalHeaderAlignment(Qt::Alignment alignment);
    virtual void setDefaultSource(const QString& source);
    virtual void appendInfo(const QString& msg, const QColor& color);
    virtual void appendInfo(const QString& msg);
    virtual void appendError(const QString& msg, const QColor& color);
    virtual void appendError(const QString& msg);
    virtual void appendWarning(const QString& msg, const QColor& color);
    virtual void appendWarning(const QString& msg);
    virtual void clear();
    virtual void removeRows(const QString& type);
    virtual void setErrorsVisible(bool visible);
    virtual void setWarningsVisible(bool visible);
    virtual void setInfosVisible(bool visible);
    virtual void setRowsVisible(const QList<int>& rows, bool visible);
    virtual void setRowsVisible(const QString& type, bool visible);
    virtual void setLogNumberVisible(bool visible);
    virtual void setRowNumberVisible(bool visible);
    virtual void setColumnHeaderVisible(bool visible);
    virtual void setColumnVisible(int column, bool visible);
    virtual void copyToClipboard();
    virtual bool save(const QString& filename, QString* errorMsg = nullptr);
    virtual void save();
    virtual void setMaximumNumberOfLogs(int n);
    virtual void mid(int indexStart);
    virtual void append(const QString& msg, const QString& type, const QString& source,
                        const QColor& color = Qt::black, const QColor& bgColor = Qt::white);
    virtual void applyFilter(LogFilter* filter);
    virtual void removeFilter();
    virtual bool addLogObject(QObject* object);
    virtual void setRowHeight(int height);

private slots:
    void onViewAction();
    void onClearAction();
    void showMenu();

private:
    void addRow(int row, const QStringList& texts, const QColor& color, const QColor& bgColor);
    void followNewRow(int previousCurrentRow, int newRow);
    void addLevelActions(const QString& level);
    void rebuildRowsByType();

    std::unique_ptr<LogWidgetData> d;
};

#endif
