// The level meters and the dropout count of a real controller on the simulated device: the
// device's tone at known levels, its full-scale bursts, a change of driver, and resyncs.
#include "asiocontroller.h"
#include "asiodrivers.h"
#include "asiohoststate.h"
#include "audiofilewriter.h"
#include "partitionmanager.h"
#include "simulateddriver.h"
#include "testdriver.h"

#include <QTemporaryDir>
#include <QtTest>
#include <cmath>
#include <limits>
#include <thread>

namespace {
const QString kDevice = QString::fromLatin1(SimulatedDriver::kDescription);
const char* const kSilentDriver = "Halvik Silent Meter Driver";
const double kSilence = -std::numeric_limits<double>::infinity();

double toDb(float level)
{
    return 20.0 * std::log10(double(level));
}
} // namespace

class TestLevelMeter : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    AsioController* controller = nullptr;
    QStringList log;

    // The peaks of both inputs (dB) since the previous call.
    QVector<double> takePeaks()
    {
        return {toDb(controller->levelMeter(0).takePeak()), toDb(controller->levelMeter(1).takePeak())};
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        registerSimulatedDriver();
        TestDriver::registerDriver(kSilentDriver);
        QSharedPointer<PartitionManager> pool(new PartitionManager(16u << 20));
        QSharedPointer<AudioFileWriter> writer(new AudioFileWriter(pool));
        controller = new AsioController(AsioHostState::instance(),
                                        QSharedPointer<AsioDrivers>(new AsioDrivers), pool, writer,
                                        16, this);
        AsioHostState::instance()->setBufferProcessor(controller);
        connect(controller,
                qOverload<QString, QString, QString, QColor, QColor>(&AsioController::logMsg),
                this, [this](QString msg) { log << msg; });
        controller->scanDrivers();
    }

    void cleanup() { SimulatedDriver::setToneLevelDb(SimulatedDriver::kToneLevelDb); }

    void cleanupTestCase() { controller->unloadCurrentDriver(); }

    void readsTheToneLevel_data()
    {
        QTest::addColumn<double>("rate");
        QTest::addColumn<double>("toneDb");
        QTest::addColumn<double>("lowest");
        QTest::addColumn<double>("highest");
        const double tone = SimulatedDriver::kToneLevelDb;
        // PCM in dB of full scale, DSD in dB of 50 % modulation: the device's tone is at half
        // of full scale, which is -6.0 dBFS and 0 dB DSD.
        QTest::newRow("PCM 44.1 kHz") << 44100.0 << tone << -6.2 << -5.8;
        QTest::newRow("PCM 384 kHz") << 384000.0 << tone << -6.2 << -5.8;
        QTest::newRow("PCM 20 dB lower") << 44100.0 << tone - 20 << -26.5 << -25.5;
        QTest::newRow("PCM silence") << 44100.0 << kSilence << kSilence << -60.0;
        QTest::newRow("DSD 1x") << 2822400.0 << tone << -0.5 << 0.5;
        QTest::newRow("DSD 2x") << 5644800.0 << tone << -0.5 << 0.5;
        QTest::newRow("DSD 4x") << 11289600.0 << tone << -0.5 << 0.5;
        QTest::newRow("DSD 1x 20 dB lower") << 2822400.0 << tone - 20 << -20.5 << -19.5;
        QTest::newRow("DSD 4x 20 dB lower") << 11289600.0 << tone - 20 << -20.5 << -19.5;
        QTest::newRow("DSD silence") << 2822400.0 << kSilence << kSilence << -60.0;
    }

    void readsTheToneLevel()
    {
        QFETCH(double, rate);
        QFETCH(double, toneDb);
        QFETCH(double, lowest);
        QFETCH(double, highest);
        SimulatedDriver::setToneLevelDb(toneDb);
        QVERIFY(controller->initializeDriver(kDevice, rate));
        QCOMPARE(controller->sampleRate(), rate);
        QTest::qWait(200);  // past the first blocks of the stream
        takePeaks();
        QTest::qWait(500);
        const QVector<double> peaks = takePeaks();
        for (int input = 0; input < 2; ++input) {
            QVERIFY2(peaks[input] >= lowest && peaks[input] <= highest,
                     qPrintable(QString("input %1 reads %2 dB").arg(input).arg(peaks[input])));
            QVERIFY(!controller->levelMeter(input).takeClip());
        }
    }

    void burstClipsItsChannelOnly_data()
    {
        QTest::addColumn<double>("rate");
        QTest::addColumn<int>("input");
        QTest::addColumn<double>("lowestPeak");
        QTest::newRow("PCM left") << 44100.0 << 0 << -0.01;
        QTest::newRow("PCM right") << 192000.0 << 1 << -0.01;
        QTest::newRow("DSD 1x right") << 2822400.0 << 1 << 3.1;
        QTest::newRow("DSD 4x left") << 11289600.0 << 0 << 3.1;
    }

    void burstClipsItsChannelOnly()
    {
        QFETCH(double, rate);
        QFETCH(int, input);
        QFETCH(double, lowestPeak);
        QVERIFY(controller->initializeDriver(kDevice, rate));
        QTest::qWait(200);
        for (int i = 0; i < 2; ++i)
            controller->levelMeter(i).takeClip();
        takePeaks();
        SimulatedDriver::addFullScaleBurst(input);
        QTest::qWait(300);
        const QVector<double> peaks = takePeaks();
        QVERIFY(controller->levelMeter(input).takeClip());
        QVERIFY(!controller->levelMeter(1 - input).takeClip());
        QVERIFY2(peaks[input] >= lowestPeak, qPrintable(QString::number(peaks[input])));
        QVERIFY2(peaks[1 - input] < lowestPeak, qPrintable(QString::number(peaks[1 - input])));
    }

    // A peak the window has not fetched yet belongs to the old driver and must not show.
    void driverChangeResetsTheMeters()
    {
        QVERIFY(controller->initializeDriver(kDevice, 44100));
        SimulatedDriver::addFullScaleBurst(0);
        QTest::qWait(300);
        const unsigned resets = controller->levelMeter(0).resetCount();
        QVERIFY(controller->initializeDriver(QString::fromLatin1(kSilentDriver), 44100));
        for (int input = 0; input < 2; ++input) {
            QVERIFY(controller->levelMeter(input).resetCount() > resets);
            QCOMPARE(controller->levelMeter(input).takePeak(), 0.0f);
            QVERIFY(!controller->levelMeter(input).takeClip());
        }
    }

    void dropoutsCountFromTheStartAndAreLoggedAtStop()
    {
        QVERIFY(controller->initializeDriver(kDevice, 44100));
        controller->driverResyncRequested();  // before the recording: not its dropout
        controller->setFileName(dir.filePath("take.wav"));
        QVERIFY(controller->startRecording(true));
        QCOMPARE(controller->dropoutCount(), 0u);
        std::thread driver([this] {
            for (int i = 0; i < 3; ++i)
                controller->driverResyncRequested();
        });
        driver.join();
        QCOMPARE(controller->dropoutCount(), 3u);
        log.clear();
        QVERIFY(controller->stopRecording());
        QVERIFY(log.contains("3 dropouts during take.wav"));
        QVERIFY(QTest::qWaitFor([&] { return controller->isIdle(); }, 10000));

        QVERIFY(controller->startRecording(true));
        QCOMPARE(controller->dropoutCount(), 0u);
        controller->stopRecording();
        QVERIFY(log.filter("dropout").size() == 1);
        QVERIFY(QTest::qWaitFor([&] { return controller->isIdle(); }, 10000));
    }
};

QTEST_GUILESS_MAIN(TestLevelMeter)
#include "tst_levelmeter.moc"
