// The meter display over a real controller whose meters the test feeds as the driver would,
// with mouse clicks on the lamps. The test refreshes the display itself where it needs to
// know that a refresh has happened.
#include "asiocontroller.h"
#include "asiodrivers.h"
#include "asiohoststate.h"
#include "audiofilewriter.h"
#include "levelmeterwidget.h"
#include "partitionmanager.h"
#include "testdriver.h"

#include <QTemporaryDir>
#include <QtTest>
#include <cmath>

namespace {
const char* const kDriver = "Halvik Meter UI Driver";
const qint32 kMax = 0x7fffffff, kMin = -kMax - 1;
struct ClipCase { int input; QVector<qint32> words; bool lit; };
} // namespace

class TestLevelMeterWidget : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    AsioController* controller = nullptr;
    LevelMeterWidget* meters = nullptr;
    QElapsedTimer clock;

    void feed(int input, QVector<qint32> words)
    {
        controller->levelMeter(input).process(reinterpret_cast<unsigned char*>(words.data()), ASIOSTInt32LSB,
                                              words.size());
    }
    // Refreshes with no event loop in between, so the display's own clock reading lies
    // between the two times returned.
    QPair<qint64, qint64> refreshBetween()
    {
        const qint64 before = clock.elapsed();
        meters->refresh();
        return {before, clock.elapsed()};
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        clock.start();
        TestDriver::registerDriver(kDriver);
        QSharedPointer<PartitionManager> pool(new PartitionManager(1u << 20));
        QSharedPointer<AudioFileWriter> writer(new AudioFileWriter(pool));
        controller = new AsioController(AsioHostState::instance(), QSharedPointer<AsioDrivers>(new AsioDrivers),
                                        pool, writer, 1, this);
        AsioHostState::instance()->setBufferProcessor(controller);
        controller->scanDrivers();
        QVERIFY(controller->initializeDriver(kDriver, 44100));
        meters = new LevelMeterWidget(controller);
        meters->show();
        QVERIFY(QTest::qWaitForWindowExposed(meters));
    }
    void cleanupTestCase() { delete meters; }

    // 20 dB in 1.7 s after an instant rise; the mark holds the peak for 2 s, then follows.
    void fallsBackAndHoldsThePeak()
    {
        feed(0, {0, kMax, 0});
        feed(1, {0, 1 << 30, 0});
        const auto [rise0, rise1] = refreshBetween();
        QVERIFY2(meters->barDb(0) > -0.01 && meters->toolTip().contains("right: -6.0 dBFS"),
                 qPrintable(meters->toolTip()));
        QThread::msleep(1750);
        const auto [fall0, fall1] = refreshBetween();
        const double fallen = -meters->barDb(0), perMs = 20.0 / 1.7 / 1000;
        QVERIFY2(fallen > perMs * (fall0 - rise1) - 0.02 && fallen < perMs * (fall1 - rise0) + 0.02,
                 qPrintable(QString("%1 dB in %2 ms").arg(fallen).arg(fall0 - rise1)));
        if (fall1 - rise0 < 2000)  // else the machine stalled: the hold may have ended
            QVERIFY2(meters->holdDb(0) > -0.01, qPrintable(QString::number(meters->holdDb(0))));
        while (clock.elapsed() - rise1 <= 2000)
            QThread::msleep(50);
        meters->refresh();
        QVERIFY(meters->barDb(0) < -20 && meters->holdDb(0) == meters->barDb(0));
    }

    // A lamp lights on two full-scale words in a row, on its own input only, and only a click
    // on it puts it out.
    void clipLampOfItsInputStaysUntilClicked()
    {
        const ClipCase cases[] = {{0, {5, kMax, kMax, 5}, true}, {1, {kMin, kMin}, true}, {0, {kMax, 0, kMin}, false}};
        for (const auto& [input, words, lit] : cases) {
            feed(input, words);
            meters->refresh();
            QCOMPARE(meters->isClipLit(input), lit);
            QVERIFY(!meters->isClipLit(1 - input));
            QTest::mouseClick(meters, Qt::LeftButton, Qt::NoModifier, meters->lampRect(1 - input).center());
            QCOMPARE(meters->isClipLit(input), lit);
            QTest::mouseClick(meters, Qt::LeftButton, Qt::NoModifier, meters->lampRect(input).center());
            QVERIFY(!meters->isClipLit(input));
        }
    }

    // A new recording clears the lamps and counts dropouts; another driver clears everything,
    // else the old driver's peak would take seconds to fall out of sight.
    void freshStartsClearTheDisplay()
    {
        feed(0, {kMax, kMax});
        feed(1, {kMin, kMin});
        meters->refresh();
        QVERIFY(meters->isClipLit(0) && meters->isClipLit(1));
        controller->setFileName(dir.filePath("take.wav"));
        QVERIFY(controller->startRecording(true));
        meters->refresh();
        QVERIFY(!meters->isClipLit(0) && !meters->isClipLit(1) && !meters->toolTip().contains("dropout"));
        for (int i = 0; i < 3; ++i)
            controller->driverResyncRequested();
        QTRY_VERIFY(meters->toolTip().contains("3 dropouts"));
        controller->stopRecording();

        feed(1, {kMin, kMin});
        meters->refresh();
        QVERIFY(meters->barDb(1) > -0.1 && meters->isClipLit(1));
        QVERIFY(controller->initializeDriver(kDriver, 48000));
        QTRY_VERIFY(std::isinf(meters->barDb(1)));
        QVERIFY(std::isinf(meters->holdDb(1)) && !meters->isClipLit(1));
    }
};

QTEST_MAIN(TestLevelMeterWidget)
#include "tst_levelmeterwidget.moc"
