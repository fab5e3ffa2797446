// The DSD meter against the simulated device's modulator, a fifth-order sigma-delta loop whose
// shaped noise climbs steeply above the audio band: a tone must read its own peak in dB of 50 %
// modulation (dBFS + 6.02) down to -60 dBFS at every rate and on both channels (1 kHz and
// 1.5 kHz), and silence and -80 dBFS must stay below the scale's -60 dB. The stream is fed in
// blocks of odd sizes, so the filter's state has to carry every byte across block boundaries;
// the LSB-first rows read the same stream with each byte's bits reversed.
#include "levelmeter.h"
#include "simulateddriver.h"
#include "simulatedsignal.h"

#include <QtTest>
#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <vector>

namespace {

unsigned char reversedBits(unsigned char byte)
{
    unsigned char reversed = 0;
    for (int bit = 0; bit < 8; ++bit)
        reversed |= ((byte >> bit) & 1) << (7 - bit);
    return reversed;
}

// The highest reading, in dB, of a quarter of a second of the channel's tone at toneDbfs.
double readTone(long multiple, long channel, double toneDbfs, bool msbFirst)
{
    const double rate = multiple * LevelMeter::kDsdBaseRate;
    SimulatedDriver::setToneLevelDb(toneDbfs);
    SimulatedSignal signal;
    signal.prepare(SimulatedDriver::Signal::Tone, true, rate, channel);
    LevelMeter meter;
    meter.reset(rate);
    const long blockBytes[] = {512 * multiple, 517, 40, 4103, 1};
    std::vector<unsigned char> block(4103);
    float peak = 0.0f;
    for (long done = 0, i = 0; done < long(rate / 4 / 8); ++i) {
        const long bytes = blockBytes[i % std::size(blockBytes)];
        signal.fill(block.data(), 8 * bytes);
        if (!msbFirst)
            std::transform(block.begin(), block.begin() + bytes, block.begin(), reversedBits);
        meter.process(block.data(), msbFirst ? ASIOSTDSDInt8MSB1 : ASIOSTDSDInt8LSB1, 8 * bytes);
        peak = std::max(peak, meter.takePeak());
        done += bytes;
    }
    return 20.0 * std::log10(double(peak));
}

} // namespace

class TestLevelMeterDsd : public QObject
{
    Q_OBJECT
private slots:
    void cleanupTestCase() { SimulatedDriver::setToneLevelDb(SimulatedDriver::kToneLevelDb); }

    void readsTonesAtLowLevels_data()
    {
        QTest::addColumn<long>("multiple");
        QTest::addColumn<long>("channel");
        QTest::addColumn<double>("toneDbfs");
        QTest::addColumn<bool>("msbFirst");
        for (long multiple : {1L, 2L, 4L})
            for (long channel : {0L, 1L})
                for (double dbfs : {-40.0, -60.0})
                    QTest::addRow("DSD %ldx, channel %ld, %.0f dBFS", multiple, channel, dbfs)
                        << multiple << channel << dbfs << true;
        QTest::newRow("DSD 1x LSB first, -60 dBFS") << 1L << 0L << -60.0 << false;
        QTest::newRow("DSD 4x LSB first, -40 dBFS") << 4L << 1L << -40.0 << false;
    }
    void readsTonesAtLowLevels()
    {
        QFETCH(long, multiple);
        QFETCH(long, channel);
        QFETCH(double, toneDbfs);
        QFETCH(bool, msbFirst);
        const double reading = readTone(multiple, channel, toneDbfs, msbFirst);
        const double expected = toneDbfs + 20.0 * std::log10(2.0);
        QVERIFY2(std::abs(reading - expected) <= 1.0,
                 qPrintable(QStringLiteral("%1 dB, expected %2 dB").arg(reading).arg(expected)));
    }

    void staysBelowTheScaleInNoise_data()
    {
        QTest::addColumn<long>("multiple");
        QTest::addColumn<double>("toneDbfs");
        for (long multiple : {1L, 2L, 4L}) {
            QTest::addRow("DSD %ldx, silence", multiple)
                << multiple << -std::numeric_limits<double>::infinity();
            QTest::addRow("DSD %ldx, -80 dBFS", multiple) << multiple << -80.0;
        }
    }
    void staysBelowTheScaleInNoise()
    {
        QFETCH(long, multiple);
        QFETCH(double, toneDbfs);
        const double reading = readTone(multiple, 0, toneDbfs, true);
        QVERIFY2(reading < -60.0, qPrintable(QStringLiteral("%1 dB").arg(reading)));
    }
};

QTEST_APPLESS_MAIN(TestLevelMeterDsd)
#include "tst_levelmeterdsd.moc"
