// The meter display over a real controller whose meters the test feeds as the driver would,
// with the real refresh timer and mouse clicks on the lamps.
#include "asiocontroller.h"
#include "asiodrivers.h"
#include "asiohoststate.h"
#include "audiofilewriter.h"
#include "levelmeterwidget.h"
#include "partitionmanager.h"
#include "testdriver.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>
#include <cmath>
#include <limits>

namespace {
const char* const kDriver = "Halvik Meter UI Driver";
const qint32 kMax = std::numeric_limits<qint32>::max();
const qint32 kMin = std::numeric_limits<qint32>::min();
}

class TestLevelMeterWidget : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    AsioController* controller = nullptr;
    LevelMeterWidget* meters = nullptr;

    void feed(int input, QVector<qint32> words)
    {
        controller->levelMeter(input).process(reinterpret_cast<unsigned char*>(words.data()),
                                              ASIOSTInt32LSB, words.size());
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        TestDriver::registerDriver(kDriver);
        QSharedPointer<PartitionManager> pool(new PartitionManager(1u << 20));
        QSharedPointer<AudioFileWriter> writer(new AudioFileWriter(pool));
        controller = new AsioController(AsioHostState::instance(),
                                        QSharedPointer<AsioDrivers>(new AsioDrivers), pool, writer,
                                        1, this);
        AsioHostState::instance()->setBufferProcessor(controller);
        controller->scanDrivers();
        QVERIFY(controller->initializeDriver(QString::fromLatin1(kDriver), 44100));
        meters = new LevelMeterWidget(controller);
        meters->resize(560, meters->sizeHint().height());
        meters->show();
        QVERIFY(QTest::qWaitForWindowExposed(meters));
    }

    void cleanupTestCase() { delete meters; }

    // 20 dB in 1.7 s after an instant rise; the mark holds the peak for 2 s, then follows.
    void fallsBackAndHoldsThePeak()
    {
        feed(0, {0, kMax, 0});
        feed(1, {0, 1 << 30, 0});
        QTRY_VERIFY_WITH_TIMEOUT(meters->barDb(0) > -0.1, 500);
        QElapsedTimer clock;
        clock.start();
        const double start = meters->barDb(0);
        QVERIFY2(meters->toolTip().contains("right: -6.0 dBFS"), qPrintable(meters->toolTip()));
        QTest::qWait(1500);
        const double fallen = meters->barDb(0);
        const double rate = (start - fallen) / (clock.elapsed() / 1000.0);
        QVERIFY2(std::abs(rate - 20.0 / 1.7) < 0.1 * 20.0 / 1.7, qPrintable(QString::number(rate)));
        QVERIFY2(meters->holdDb(0) > -0.1, qPrintable(QString::number(meters->holdDb(0))));
        QTest::qWait(2300 - int(clock.elapsed()));
        QVERIFY2(meters->holdDb(0) < -20, qPrintable(QString::number(meters->holdDb(0))));
    }

    void clipLampOfItsInputStaysUntilClicked_data()
    {
        QTest::addColumn<int>("input");
        QTest::addColumn<QVector<qint32>>("words");
        QTest::addColumn<bool>("lit");
        QTest::newRow("two largest words, left") << 0 << QVector<qint32>{5, kMax, kMax, 5} << true;
        QTest::newRow("two smallest words, right") << 1 << QVector<qint32>{kMin, kMin} << true;
        QTest::newRow("full scale, not twice in a row") << 0 << QVector<qint32>{kMax, 0, kMin} << false;
    }

    void clipLampOfItsInputStaysUntilClicked()
    {
        QFETCH(int, input);
        QFETCH(QVector<qint32>, words);
        QFETCH(bool, lit);
        feed(input, words);
        QTest::qWait(1000);
        QCOMPARE(meters->isClipLit(input), lit);
        QVERIFY(!meters->isClipLit(1 - input));
        if (!lit)
            return;
        QTest::mouseClick(meters, Qt::LeftButton, Qt::NoModifier, meters->lampRect(1 - input).center());
        QVERIFY(meters->isClipLit(input));
        QTest::mouseClick(meters, Qt::LeftButton, Qt::NoModifier, meters->lampRect(input).center());
        QVERIFY(!meters->isClipLit(input));
    }

    void newRecordingClearsLampsAndCountsDropouts()
    {
        feed(0, {kMax, kMax});
        QTRY_VERIFY_WITH_TIMEOUT(meters->isClipLit(0), 500);
        controller->setFileName(dir.filePath("take.wav"));
        QVERIFY(controller->startRecording(true));
        QTRY_VERIFY_WITH_TIMEOUT(!meters->isClipLit(0), 500);
        QVERIFY(!meters->toolTip().contains("dropout"));
        for (int i = 0; i < 3; ++i)
            controller->driverResyncRequested();
        QTRY_VERIFY_WITH_TIMEOUT(meters->toolTip().contains("3 dropouts"), 500);
        controller->stopRecording();
    }

    // Without the reset the old driver's peak would take seconds to fall out of sight.
    void driverChangeClearsTheDisplay()
    {
        feed(1, {kMin, kMin});
        QTRY_VERIFY_WITH_TIMEOUT(meters->barDb(1) > -0.1 && meters->isClipLit(1), 500);
        QVERIFY(controller->initializeDriver(QString::fromLatin1(kDriver), 48000));
        QTRY_VERIFY_WITH_TIMEOUT(std::isinf(meters->barDb(1)), 200);
        QVERIFY(std::isinf(meters->holdDb(1)));
        QVERIFY(!meters->isClipLit(1));
    }
};

QTEST_MAIN(TestLevelMeterWidget)
#include "tst_levelmeterwidget.moc"
