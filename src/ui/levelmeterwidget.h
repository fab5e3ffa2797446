#ifndef TESSARO_LEVELMETERWIDGET_H
#define TESSARO_LEVELMETERWIDGET_H

#include <QElapsedTimer>
#include <QWidget>

class AsioController;
class QTimer;

// Horizontal peak meters of the recorded inputs, with the scale, a peak-hold mark and a clip
// lamp per input, and the count of dropouts while there are any. The controller's meters give
// the peak since the last look; the ballistics are done here: instant attack, a fall-back of
// 20 dB in 1.7 s, the hold mark kept for 2 s. A lamp stays lit until it is clicked or a new
// recording starts; all of it starts afresh when the controller resets its meters (another
// driver, rate or mode). The tooltip gives the highest peak of the last second.
//
// Beside each bar stands the highest peak of the take: since the recording started, or since a
// click on the number; after the stop it keeps the take's value until either happens again.
// The lamp's tool tip counts the clips of the take (a run of clipped looks counts once) and
// gives the take time of the last one.
//
// Threads: GUI thread only; it polls the controller every kRefreshMs.
class LevelMeterWidget : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kRefreshMs = 40;
    static constexpr double kFallDbPerSecond = 20.0 / 1.7;
    static constexpr int kHoldMs = 2000;
    static constexpr double kScaleBottomDb = -60.0;
    static constexpr double kScaleStepDb = 6.0;

    explicit LevelMeterWidget(AsioController* controller, QWidget* parent = nullptr);

    // In dB of the mode's reference; minus infinity for nothing.
    double barDb(int input) const;
    double holdDb(int input) const;
    double peakOfLastSecond(int input) const;
    bool isClipLit(int input) const;
    double takePeakDb(int input) const;
    int clipCount(int input) const;
    QRect lampRect(int input) const;
    QRect takePeakRect(int input) const;
    // The tool tip at a point: the lamp's or the take peak's where it is over one, else the
    // widget's own.
    QString toolTipAt(const QPoint& pos) const;
    void clearClipLamps();

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

public slots:
    void refresh();

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    struct Recent
    {
        qint64 ms = 0;
        double db = 0;
    };
    struct Channel
    {
        double bar = 0;
        double hold = 0;
        qint64 holdSinceMs = 0;
        bool clip = false;
        double takePeak = 0;
        bool takePeakRuns = true; // false from the stop of a take to a click or the next take
        int clips = 0;
        qint64 lastClipMs = 0;      // since the take began
        bool clippedBefore = false; // at the previous look
        Recent recent[64];
        int recentNext = 0;
    };
    static constexpr int kInputs = 2;

    void resetChannels();
    void startTake(qint64 nowMs);
    void refreshChannel(Channel& c, double peakDb, bool clipped, qint64 nowMs, double fallDb);
    void countTake(Channel& c, double peakDb, bool clipped, bool recording, qint64 nowMs);
    double scaleTopDb() const;
    QString unit() const;
    QString toolTipText() const;
    QString lampToolTip(int input) const;
    QString takePeakToolTip(int input) const;
    QString inputName(int input) const;
    QFontMetrics scaleMetrics() const;
    QRect barRect(int input) const;
    int xOf(double db, const QRect& bar) const;
    void paintBar(QPainter& p, int input) const;
    void paintScale(QPainter& p) const;
    QRect dropoutRect() const;

    AsioController* m_controller;
    QTimer* m_timer;
    QElapsedTimer m_clock;
    qint64 m_lastMs = 0;
    unsigned m_resets = 0;
    bool m_wasRecording = false;
    qint64 m_takeStartMs = 0;
    bool m_dsd = false;
    unsigned m_dropouts = 0;
    Channel m_channels[kInputs];
};

#endif
