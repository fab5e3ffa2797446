#include "logwidget.h"

#include "logfilter.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCursor>
#include <QDateTime>
#include <QFile>
#include <QFileDialog>
#include <QFontMetrics>
#include <QGridLayout>
#include <QHeaderView>
#include <QMap>
#include <QMenu>
#include <QMessageBox>
#include <QMultiMap>
#include <QTableWidget>
#include <algorithm>

namespace {
enum Column
{
    LevelColumn,
    TimeColumn,
    SourceColumn,
    MessageColumn,
    ColumnCount
};
const char* const AllAction = "&All";
// The moment of a row, whole, for its tool tip and the exported text: the Time column shows only
// the time of day, and a saved log is read on other days.
const char* const FullTimeFormat = "yyyy-MM-dd hh:mm:ss.zzz";
} // namespace

struct LogWidgetData
{
    LogFilter* filter = nullptr;
    QTableWidget* table = nullptr;
    QMenu* contextMenu = nullptr;
    QMenu* viewMenu = nullptr;
    QMap<QString, QAction*> viewActions;
    QMenu* clearMenu = nullptr;
    QMap<QString, QAction*> clearActions;
    QString saveDirectory;
    QString defaultSource;
    QMultiMap<QString, int> rowsByType;
    QString dateTimeFormat = QStringLiteral("hh:mm:ss.zzz");
    int maximumNumberOfLogs = -1;
    int rowHeight = 0;
};

LogWidget::LogWidget(QWidget* parent) : QWidget(parent), d(new LogWidgetData)
{
    d->table = new QTableWidget(0, ColumnCount, this);
    d->table->setHorizontalHeaderLabels({tr("Level"), tr("Time"), tr("Source"), tr("Message")});
    d->table->setColumnWidth(LevelColumn, 55);
    const QFontMetrics metrics(d->table->font());
    d->table->setColumnWidth(
        TimeColumn, std::max(100, metrics.horizontalAdvance(QStringLiteral("00:00:00.000 ")) + 12));
    d->table->setColumnWidth(SourceColumn, 60);
    d->table->horizontalHeader()->setStretchLastSection(true);
    d->table->setSelectionBehavior(QAbstractItemView::SelectRows);
    d->table->verticalHeader()->hide();
    d->table->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(d->table, &QWidget::customContextMenuRequested, this, &LogWidget::showMenu);
    d->rowHeight = int(1.3 * metrics.height());

    d->contextMenu = new QMenu(this);
    d->viewMenu = new QMenu(tr("&View"), this);
    d->clearMenu = new QMenu(tr("&Clear"), this);
    QAction* all = d->clearMenu->addAction(tr(AllAction), this, &LogWidget::clear);
    d->clearActions.insert(QString::fromLatin1(AllAction), all);
    d->contextMenu->addMenu(d->viewMenu);
    d->contextMenu->addSeparator();
    d->contextMenu->addMenu(d->clearMenu);
    d->contextMenu->addSeparator();
    d->contextMenu->addAction(tr("Cop&y to Clipboard"), this, &LogWidget::copyToClipboard);
    d->contextMenu->addAction(tr("&Save to File"), this, qOverload<>(&LogWidget::save));

    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(d->table);
    setMinimumSize(50, 50);
    resize(400, 100);
}

LogWidget::~LogWidget()
{
    delete d->filter;
}

// What the reader sees is what is copied and saved: rows hidden by level or filter stay out. The
// time goes out with its date.
QString LogWidget::toText() const
{
    QString text;
    for (int row = 0; row < d->table->rowCount(); ++row)
        if (!d->table->isRowHidden(row))
            text += rowText(row);
    return text;
}

QString LogWidget::rowText(int row) const
{
    QString text;
    for (int column = 0; column < d->table->columnCount(); ++column) {
        const QTableWidgetItem* cell = d->table->item(row, column);
        if (cell)
            text += column == TimeColumn ? cell->toolTip() : cell->text();
        text += QLatin1Char(' ');
    }
    if (!text.isEmpty())
        text.chop(1);
    return text + QLatin1Char('\n');
}

bool LogWidget::isErrorsVisible() const
{
    return isTypeVisible(QStringLiteral("Error"));
}

bool LogWidget::isWarningsVisible() const
{
    return isTypeVisible(QStringLiteral("Warning"));
}

bool LogWidget::isInfosVisible() const
{
    return isTypeVisible(QStringLiteral("Info"));
}

bool LogWidget::isTypeVisible(const QString& type) const
{
    const QAction* action = d->viewActions.value(type);
    return action && action->isChecked();
}

int LogWidget::maximumNumberOfLogs() const
{
    return d->maximumNumberOfLogs;
}

QBrush LogWidget::typeBrush(const QString& type) const
{
    if (type == QLatin1String("Error"))
        return QBrush(Qt::red);
    if (type == QLatin1String("Warning"))
        return QBrush(Qt::magenta);
    return QBrush();
}

LogFilter* LogWidget::filter() const
{
    return d->filter;
}

int LogWidget::rowHeight() const
{
    return d->rowHeight;
}

void LogWidget::setDateTimeFormat(const QString& format)
{
    d->dateTimeFormat = format;
}

void LogWidget::setHorizontalHeaderAlignment(Qt::Alignment alignment)
{
    d->table->horizontalHeader()->setDefaultAlignment(alignment);
}

void LogWidget::setDefaultSource(const QString& source)
{
    d->defaultSource = source;
}

void LogWidget::appendInfo(const QString& msg, const QColor& color)
{
    append(msg, QStringLiteral("Info"), d->defaultSource, color, Qt::white);
}

void LogWidget::appendInfo(const QString& msg)
{
    appendInfo(msg, Qt::black);
}

void LogWidget::appendError(const QString& msg, const QColor& color)
{
    append(msg, QStringLiteral("Error"), d->defaultSource, color, Qt::white);
}

void LogWidget::appendError(const QString& msg)
{
    appendError(msg, Qt::red);
}

void LogWidget::appendWarning(const QString& msg, const QColor& color)
{
    append(msg, QStringLiteral("Warning"), d->defaultSource, color, Qt::white);
}

void LogWidget::appendWarning(const QString& msg)
{
    appendWarning(msg, Qt::magenta);
}

void LogWidget::clear()
{
    d->table->setRowCount(0);
    d->rowsByType.clear();
}

void LogWidget::removeRows(const QString& type)
{
    if (!d->rowsByType.contains(type))
        return;
    QList<int> rows = d->rowsByType.values(type);
    std::sort(rows.begin(), rows.end(), std::greater<int>());
    for (int row : rows)
        d->table->removeRow(row);
    rebuildRowsByType();
}

void LogWidget::rebuildRowsByType()
{
    d->rowsByType.clear();
    for (int row = 0; row < d->table->rowCount(); ++row) {
        const QTableWidgetItem* cell = d->table->item(row, LevelColumn);
        const QString level = cell ? cell->data(Qt::UserRole).toString() : QString();
        if (!level.isEmpty())
            d->rowsByType.insert(level, row);
    }
}

void LogWidget::setErrorsVisible(bool visible)
{
    setRowsVisible(QStringLiteral("Error"), visible);
}

void LogWidget::setWarningsVisible(bool visible)
{
    setRowsVisible(QStringLiteral("Warning"), visible);
}

void LogWidget::setInfosVisible(bool visible)
{
    setRowsVisible(QStringLiteral("Info"), visible);
}

void LogWidget::setRowsVisible(const QList<int>& rows, bool visible)
{
    for (int row : rows)
        d->table->setRowHidden(row, !visible);
}

void LogWidget::setRowsVisible(const QString& type, bool visible)
{
    setRowsVisible(d->rowsByType.values(type), visible);
}

void LogWidget::setLogNumberVisible(bool visible)
{
    setRowNumberVisible(visible);
}

void LogWidget::setRowNumberVisible(bool visible)
{
    d->table->verticalHeader()->setVisible(visible);
}

void LogWidget::setColumnHeaderVisible(bool visible)
{
    d->table->horizontalHeader()->setVisible(visible);
}

void LogWidget::setColumnVisible(int column, bool visible)
{
    d->table->setColumnHidden(column, !visible);
}

void LogWidget::copyToClipboard()
{
    QApplication::clipboard()->setText(toText());
}

// A full disk accepts the open and fails only at the write or at the flush of Qt's buffer,
// so both are checked before the log counts as saved.
bool LogWidget::save(const QString& filename, QString* errorMsg)
{
    QFile file(filename);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        if (errorMsg)
            *errorMsg += file.errorString();
        return false;
    }
    // UTF-8, so that every name in a message (a folder in any script) survives the export.
    const QByteArray bytes = toText().toUtf8();
    const bool written = file.write(bytes) == bytes.size() && file.flush();
    const QString writeError = file.errorString();
    file.close();
    const bool saved = written && file.error() == QFileDevice::NoError;
    if (!saved && errorMsg)
        *errorMsg += written ? file.errorString() : writeError;
    return saved;
}

void LogWidget::save()
{
    const QString name = QFileDialog::getSaveFileName(this, tr("Save Log"), d->saveDirectory,
                                                      tr("text file(*.txt);;all files(*)"));
    if (name.isEmpty())
        return;
    QString error;
    if (!save(name, &error))
        QMessageBox::critical(this, tr("Save Log Failed"), error, QMessageBox::Ok);
}

void LogWidget::setMaximumNumberOfLogs(int n)
{
    d->maximumNumberOfLogs = n;
}

void LogWidget::mid(int indexStart)
{
    const int removable = std::min(indexStart, d->table->rowCount());
    for (int i = 0; i < removable; ++i)
        d->table->removeRow(0);
    QMultiMap<QString, int> renumbered;
    for (auto it = d->rowsByType.cbegin(); it != d->rowsByType.cend(); ++it) {
        if (it.value() >= indexStart)
            renumbered.insert(it.key(), it.value() - indexStart);
    }
    d->rowsByType = renumbered;
}

void LogWidget::append(const QString& msg, const QString& type, const QString& source,
                       const QColor& color, const QColor& bgColor)
{
    const QString level = type.isEmpty() ? QStringLiteral("MSG") : type;
    const QDateTime now = QDateTime::currentDateTime();
    const int previousCurrentRow = d->table->currentRow();
    int row = d->table->rowCount();
    addRow(row, {level, now.toString(d->dateTimeFormat), source, msg}, color, bgColor);
    QTableWidgetItem* time = d->table->item(row, TimeColumn);
    time->setToolTip(now.toString(QLatin1String(FullTimeFormat)));
    time->setData(Qt::UserRole, now);
    d->rowsByType.insert(level, row);
    followNewRow(previousCurrentRow, row);

    if (d->maximumNumberOfLogs > 0 && row + 1 >= d->maximumNumberOfLogs) {
        const int trimmed = d->maximumNumberOfLogs / 2;
        mid(trimmed);
        row -= trimmed;
    }
    addLevelActions(level);

    bool hidden = !isTypeVisible(level);
    if (d->filter)
        hidden = d->filter->hides(msg, level, source, now, color, bgColor);
    d->table->setRowHidden(row, hidden);
}

void LogWidget::addRow(int row, const QStringList& texts, const QColor& color,
                       const QColor& bgColor)
{
    d->table->setRowCount(row + 1);
    for (int column = 0; column < texts.size(); ++column) {
        auto* cell = new QTableWidgetItem(texts.at(column));
        cell->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
        cell->setForeground(QBrush(color));
        cell->setBackground(QBrush(bgColor));
        d->table->setItem(row, column, cell);
    }
    d->table->item(row, LevelColumn)->setData(Qt::UserRole, texts.at(LevelColumn));
    d->table->setRowHeight(row, d->rowHeight);
}

// A reader who is studying an older row with the keyboard focus in the table keeps the view;
// otherwise the newest message comes into view.
void LogWidget::followNewRow(int previousCurrentRow, int newRow)
{
    if (previousCurrentRow >= newRow - 1) {
        d->table->setCurrentCell(newRow, std::max(d->table->currentColumn(), 0));
        d->table->scrollToBottom();
    } else if (previousCurrentRow < 0) {
        d->table->scrollToBottom();
    } else if (!d->table->hasFocus()) {
        d->table->scrollToBottom();
        d->table->setCurrentItem(nullptr);
    }
}

void LogWidget::addLevelActions(const QString& level)
{
    if (!d->viewActions.contains(level)) {
        QAction* view = d->viewMenu->addAction(level);
        view->setCheckable(true);
        view->setChecked(true);
        connect(view, &QAction::toggled, this, &LogWidget::onViewAction);
        d->viewActions.insert(level, view);
    }
    if (!d->clearActions.contains(level)) {
        QAction* clear = d->clearMenu->addAction(level);
        connect(clear, &QAction::triggered, this, &LogWidget::onClearAction);
        d->clearActions.insert(level, clear);
    }
}

// The widget owns its filter: one that is replaced or removed is released here.
void LogWidget::applyFilter(LogFilter* filter)
{
    if (filter == d->filter)
        return;
    delete d->filter;
    d->filter = filter;
    for (int row = 0; row < d->table->rowCount(); ++row) {
        auto text = [this, row](int column) {
            const QTableWidgetItem* cell = d->table->item(row, column);
            return cell ? cell->text() : QString();
        };
        const QTableWidgetItem* message = d->table->item(row, MessageColumn);
        const QColor color = message ? message->foreground().color() : QColor();
        const QColor bgColor = message ? message->background().color() : QColor();
        const QTableWidgetItem* timeCell = d->table->item(row, TimeColumn);
        const QDateTime time = timeCell ? timeCell->data(Qt::UserRole).toDateTime() : QDateTime();
        const bool hidden = d->filter && d->filter->hides(text(MessageColumn), text(LevelColumn),
                                                          text(SourceColumn), time, color, bgColor);
        d->table->setRowHidden(row, hidden);
    }
}

void LogWidget::removeFilter()
{
    applyFilter(nullptr);
}

bool LogWidget::addLogObject(QObject* object)
{
    if (!object)
        return false;
    // The sender may be any object that declares the log signal, so the signature is
    // resolved at run time.
    return bool(connect(object, SIGNAL(logMsg(QString, QString, QString, QColor, QColor)), this,
                        SLOT(append(QString, QString, QString, QColor, QColor))));
}

void LogWidget::setRowHeight(int height)
{
    d->rowHeight = height;
}

void LogWidget::onViewAction()
{
    if (auto* action = qobject_cast<QAction*>(sender()))
        setRowsVisible(action->text(), action->isChecked());
}

void LogWidget::onClearAction()
{
    if (auto* action = qobject_cast<QAction*>(sender()))
        removeRows(action->text());
}

void LogWidget::showMenu()
{
    d->contextMenu->popup(QCursor::pos());
}
