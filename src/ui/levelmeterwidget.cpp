#include "levelmeterwidget.h"

#include "asiocontroller.h"

#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QTime>
#include <QTimer>
#include <QToolTip>
#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr double kNothing = -std::numeric_limits<double>::infinity();
constexpr int kMargin = 2;
constexpr int kBarHeight = 8;
constexpr int kBarGap = 2;
constexpr int kRecentMs = 1000;

QFont scaleFont(const QFont& base)
{
    QFont f = base;
    f.setPixelSize(9);
    return f;
}

// One decimal; what rounds to zero reads 0.0, never -0.0.
QString dbText(double db)
{
    const double tenths = std::round(db * 10.0) / 10.0;
    return QString::number(tenths == 0.0 ? 0.0 : tenths, 'f', 1);
}

} // namespace

LevelMeterWidget::LevelMeterWidget(AsioController* controller, QWidget* parent)
    : QWidget(parent), m_controller(controller), m_timer(new QTimer(this))
{
    resetChannels();
    m_clock.start();
    connect(m_timer, &QTimer::timeout, this, &LevelMeterWidget::refresh);
    m_timer->start(kRefreshMs);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void LevelMeterWidget::resetChannels()
{
    for (Channel& c : m_channels) {
        c = Channel();
        c.bar = c.hold = c.takePeak = kNothing;
        for (Recent& r : c.recent)
            r = Recent{std::numeric_limits<qint64>::min() / 2, kNothing};
    }
}

void LevelMeterWidget::startTake(qint64 nowMs)
{
    m_takeStartMs = nowMs;
    for (Channel& c : m_channels) {
        c.takePeak = kNothing;
        c.takePeakRuns = true;
        c.clips = 0;
    }
}

void LevelMeterWidget::clearClipLamps()
{
    for (Channel& c : m_channels)
        c.clip = false;
    update();
}

double LevelMeterWidget::barDb(int input) const
{
    return m_channels[input].bar;
}
double LevelMeterWidget::holdDb(int input) const
{
    return m_channels[input].hold;
}
bool LevelMeterWidget::isClipLit(int input) const
{
    return m_channels[input].clip;
}
double LevelMeterWidget::takePeakDb(int input) const
{
    return m_channels[input].takePeak;
}
int LevelMeterWidget::clipCount(int input) const
{
    return m_channels[input].clips;
}

double LevelMeterWidget::peakOfLastSecond(int input) const
{
    const qint64 since = m_lastMs - kRecentMs;
    double peak = kNothing;
    for (const Recent& r : m_channels[input].recent) {
        if (r.ms > since)
            peak = std::max(peak, r.db);
    }
    return peak;
}

void LevelMeterWidget::refresh()
{
    const qint64 now = m_clock.elapsed();
    const double fall = kFallDbPerSecond * double(now - m_lastMs) / 1000.0;
    m_lastMs = now;
    const unsigned resets = m_controller->levelMeter(0).resetCount();
    if (resets != m_resets) {
        m_resets = resets;
        resetChannels();
    }
    const bool recording = m_controller->isRecording();
    if (recording && !m_wasRecording) {
        clearClipLamps();
        startTake(now);
    }
    if (m_wasRecording && !recording) {
        for (Channel& c : m_channels)
            c.takePeakRuns = false;
    }
    m_wasRecording = recording;
    m_dsd = m_controller->isDsd();
    m_dropouts = m_controller->dropoutCount();
    for (int input = 0; input < kInputs; ++input) {
        LevelMeter& meter = m_controller->levelMeter(input);
        const float level = meter.takePeak();
        const double db = level > 0 ? 20.0 * std::log10(double(level)) : kNothing;
        const bool clipped = meter.takeClip();
        refreshChannel(m_channels[input], db, clipped, now, fall);
        countTake(m_channels[input], db, clipped, recording, now);
    }
    setToolTip(toolTipText());
    update();
}

void LevelMeterWidget::refreshChannel(Channel& c, double peakDb, bool clipped, qint64 nowMs,
                                      double fallDb)
{
    c.bar = std::max(peakDb, c.bar - fallDb);
    if (peakDb >= c.hold) {
        c.hold = peakDb;
        c.holdSinceMs = nowMs;
    } else if (nowMs - c.holdSinceMs >= kHoldMs) {
        c.hold = c.bar; // follows the bar down until a new peak is held
    }
    c.clip = c.clip || clipped;
    c.recent[c.recentNext] = Recent{nowMs, peakDb};
    c.recentNext = (c.recentNext + 1) % int(std::size(c.recent));
}

void LevelMeterWidget::countTake(Channel& c, double peakDb, bool clipped, bool recording,
                                 qint64 nowMs)
{
    if (c.takePeakRuns)
        c.takePeak = std::max(c.takePeak, peakDb);
    if (recording && clipped && !c.clippedBefore) {
        ++c.clips;
        c.lastClipMs = nowMs - m_takeStartMs;
    }
    c.clippedBefore = clipped;
}

double LevelMeterWidget::scaleTopDb() const
{
    return m_dsd ? 6.0 : 0.0;
}

QString LevelMeterWidget::unit() const
{
    return m_dsd ? tr("dB") : tr("dBFS");
}

QString LevelMeterWidget::inputName(int input) const
{
    return input == 0 ? tr("left") : tr("right");
}

QString LevelMeterWidget::toolTipText() const
{
    QStringList lines;
    for (int input = 0; input < kInputs; ++input) {
        const double peak = peakOfLastSecond(input);
        QString line = std::isfinite(peak)
                           ? tr("%1: %2 %3").arg(inputName(input), dbText(peak), unit())
                           : tr("%1: no signal").arg(inputName(input));
        if (m_channels[input].clip)
            line += tr(", clipped");
        lines << line;
    }
    lines << tr("highest peaks of the last second");
    if (m_dropouts > 0)
        lines << (m_dropouts == 1 ? tr("1 dropout") : tr("%1 dropouts").arg(m_dropouts));
    return lines.join(QLatin1Char('\n'));
}

QString LevelMeterWidget::lampToolTip(int input) const
{
    const Channel& c = m_channels[input];
    if (c.clips == 0)
        return tr("%1: no clips in the take").arg(inputName(input));
    // Tenths of a second: "z" alone would give ".003" for a clip 3 ms into the take.
    const int ms = int(c.lastClipMs);
    const QString at = QTime(0, 0).addMSecs(ms - ms % 100).toString(QStringLiteral("hh:mm:ss.z"));
    if (c.clips == 1)
        return tr("%1: 1 clip in the take, at %2").arg(inputName(input), at);
    return tr("%1: %2 clips in the take, the last at %3")
        .arg(inputName(input))
        .arg(c.clips)
        .arg(at);
}

QString LevelMeterWidget::takePeakToolTip(int input) const
{
    const double peak = m_channels[input].takePeak;
    const QString value =
        std::isfinite(peak) ? tr("%1 %2").arg(dbText(peak), unit()) : tr("no signal");
    return tr("%1: highest peak of the take %2 (a click starts afresh)")
        .arg(inputName(input), value);
}

QString LevelMeterWidget::toolTipAt(const QPoint& pos) const
{
    for (int input = 0; input < kInputs; ++input) {
        if (lampRect(input).contains(pos))
            return lampToolTip(input);
        if (takePeakRect(input).contains(pos))
            return takePeakToolTip(input);
    }
    return toolTip();
}

bool LevelMeterWidget::event(QEvent* event)
{
    if (event->type() != QEvent::ToolTip)
        return QWidget::event(event);
    const auto* help = static_cast<QHelpEvent*>(event);
    QToolTip::showText(help->globalPos(), toolTipAt(help->pos()), this);
    return true;
}

QFontMetrics LevelMeterWidget::scaleMetrics() const
{
    return QFontMetrics(scaleFont(font()));
}

QSize LevelMeterWidget::minimumSizeHint() const
{
    const int scale = QFontMetrics(scaleFont(font())).height();
    return QSize(200, 2 * kMargin + 2 * kBarHeight + kBarGap + 1 + scale);
}

QSize LevelMeterWidget::sizeHint() const
{
    return QSize(560, minimumSizeHint().height());
}

QRect LevelMeterWidget::lampRect(int input) const
{
    const int side = kBarHeight + 2;
    return QRect(width() - kMargin - side, kMargin + input * (kBarHeight + kBarGap) - 1, side,
                 side);
}

// Between the bar and the lamp, wide enough for the lowest peak a filtered input shows.
QRect LevelMeterWidget::takePeakRect(int input) const
{
    const int w = scaleMetrics().horizontalAdvance(QStringLiteral("-100.0")) + 2;
    const QRect lamp = lampRect(input);
    return QRect(lamp.left() - 4 - w, lamp.top(), w, lamp.height());
}

QRect LevelMeterWidget::barRect(int input) const
{
    const int left = kMargin + scaleMetrics().horizontalAdvance(QStringLiteral("R")) + 4;
    const int right = takePeakRect(input).left() - 6;
    return QRect(left, kMargin + input * (kBarHeight + kBarGap), right - left, kBarHeight);
}

int LevelMeterWidget::xOf(double db, const QRect& bar) const
{
    const double share = (db - kScaleBottomDb) / (scaleTopDb() - kScaleBottomDb);
    return bar.left() + int(std::round(std::clamp(share, 0.0, 1.0) * bar.width()));
}

void LevelMeterWidget::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    for (int input = 0; input < kInputs; ++input)
        paintBar(p, input);
    paintScale(p);
}

// Green up to 9 dB below the top of the PCM scale (0 dB DSD), yellow to 3 dB below it
// (the DSD clip level), red above.
void LevelMeterWidget::paintBar(QPainter& p, int input) const
{
    const QRect bar = barRect(input);
    const Channel& c = m_channels[input];
    p.fillRect(bar, QColor(0x50, 0x50, 0x50));
    const double top = scaleTopDb();
    const double zones[3][2] = {{kScaleBottomDb, m_dsd ? 0.0 : -9.0},
                                {m_dsd ? 0.0 : -9.0, m_dsd ? 3.1 : -3.0},
                                {m_dsd ? 3.1 : -3.0, top}};
    const QColor colours[3] = {QColor(0x3c, 0xc8, 0x3c), QColor(0xe6, 0xd2, 0x28),
                               QColor(0xe6, 0x3c, 0x28)};
    for (int z = 0; z < 3; ++z) {
        const double to = std::min(c.bar, zones[z][1]);
        if (to > zones[z][0])
            p.fillRect(QRect(QPoint(xOf(zones[z][0], bar), bar.top()),
                             QPoint(xOf(to, bar) - 1, bar.bottom())),
                       colours[z]);
    }
    for (double db = top; db > kScaleBottomDb; db -= kScaleStepDb)
        p.fillRect(xOf(db, bar), bar.top(), 1, bar.height(), QColor(0x30, 0x30, 0x30, 160));
    if (c.hold > kScaleBottomDb)
        p.fillRect(std::min(xOf(c.hold, bar), bar.right() - 1), bar.top(), 2, bar.height(),
                   Qt::white);

    p.setFont(scaleFont(font()));
    p.setPen(QColor(0x30, 0x30, 0x30));
    p.drawText(QRect(kMargin, bar.top() - 2, bar.left() - kMargin, bar.height() + 4),
               Qt::AlignLeft | Qt::AlignVCenter, input == 0 ? tr("L") : tr("R"));
    const double takePeak = c.takePeak;
    p.setPen(c.clips > 0 ? QColor(0xc0, 0x10, 0x10) : QColor(0x30, 0x30, 0x30));
    p.drawText(takePeakRect(input), Qt::AlignRight | Qt::AlignVCenter,
               std::isfinite(takePeak) ? dbText(takePeak) : QStringLiteral("-"));
    const QRect lamp = lampRect(input);
    p.setPen(QColor(0x40, 0x40, 0x40));
    p.setBrush(c.clip ? QColor(0xff, 0x20, 0x10) : QColor(0x70, 0x40, 0x40));
    p.drawRect(lamp.adjusted(0, 0, -1, -1));
}

// The dropout count stands in the scale's row, after the bottom mark, whose figure it must not
// hide; the figures it would cover give way to it.
QRect LevelMeterWidget::dropoutRect() const
{
    if (m_dropouts == 0)
        return QRect();
    const QFontMetrics fm = scaleMetrics();
    const QRect bar = barRect(1);
    const QString bottom = QString::number(kScaleBottomDb);
    const int left = xOf(kScaleBottomDb, bar) + fm.horizontalAdvance(bottom) / 2 + 8;
    const QString text = m_dropouts == 1 ? tr("1 dropout") : tr("%1 dropouts").arg(m_dropouts);
    return QRect(left, bar.bottom() + 2, fm.horizontalAdvance(text) + 6, fm.height());
}

void LevelMeterWidget::paintScale(QPainter& p) const
{
    const QRect bar = barRect(1);
    const QFontMetrics fm = scaleMetrics();
    const QRect dropouts = dropoutRect();
    const int y = bar.bottom() + 2;
    p.setFont(scaleFont(font()));
    p.setPen(QColor(0x30, 0x30, 0x30));
    for (double db = scaleTopDb(); db >= kScaleBottomDb; db -= kScaleStepDb) {
        const QString text = db > 0 ? QStringLiteral("+%1").arg(db) : QString::number(db);
        const int w = fm.horizontalAdvance(text);
        const QRect box(std::clamp(xOf(db, bar) - w / 2, 0, width() - w), y, w, fm.height());
        if (!box.intersects(dropouts))
            p.drawText(box, Qt::AlignCenter, text);
    }
    if (dropouts.isNull())
        return;
    p.setPen(QColor(0xc0, 0x10, 0x10));
    p.drawText(dropouts, Qt::AlignLeft | Qt::AlignVCenter,
               m_dropouts == 1 ? tr("1 dropout") : tr("%1 dropouts").arg(m_dropouts));
}

void LevelMeterWidget::mousePressEvent(QMouseEvent* event)
{
    for (int input = 0; input < kInputs; ++input) {
        Channel& c = m_channels[input];
        const bool onLamp = lampRect(input).contains(event->pos());
        if (onLamp || takePeakRect(input).contains(event->pos())) {
            if (onLamp) {
                c.clip = false;
            } else {
                c.takePeak = kNothing;
                c.takePeakRuns = true;
            }
            update();
            event->accept();
            return;
        }
    }
    event->ignore(); // the window is dragged from here
}
