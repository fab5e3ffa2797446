// The DSD 4x meter over random bit streams against the filter written out sample by sample: a
// two-byte triangle (weights 1..8 on the older byte, 7..0 on the newer), summed over 16-byte
// groups, then (1 + z^-1)^3 taken every second group, peak / 4096 = 0 dB. Blocks of odd sizes
// make the fast paths hand over to each other and to the next block.
#include "levelmeter.h"
#include <QtTest>
#include <random>

class TestLevelMeterDsd : public QObject
{
    Q_OBJECT
private slots:
    void matchesPlainFilter_data()
    {
        QTest::addColumn<bool>("msbFirst");
        QTest::addColumn<double>("density");
        for (bool msb : {true, false})
            for (double density : {0.5, 0.9, 0.03})
                QTest::addRow("%s %.2f", msb ? "msb" : "lsb", density) << msb << density;
    }
    void matchesPlainFilter()
    {
        QFETCH(bool, msbFirst);
        QFETCH(double, density);
        std::mt19937 rng(7);
        std::bernoulli_distribution one(density);
        LevelMeter meter;
        meter.reset(4 * LevelMeter::kDsdBaseRate);
        QVector<int> bits, sums{0, 0};  // samples oldest first from a silence byte; no sums before
        for (int age = 0; age < 8; ++age)
            bits << (0x69 >> (msbFirst ? 7 - age : age) & 1);
        for (long bytes : {16384L, 2048L, 1000L, 517L, 16384L, 40L, 4103L}) {
            QVector<unsigned char> block(int(bytes), 0);
            double peak = 0;
            for (unsigned char& byte : block) {
                for (int age = 0; age < 8; ++age) {
                    bits << one(rng);
                    byte |= bits.last() << (msbFirst ? 7 - age : age);
                }
                if ((bits.size() / 8 - 1) % 16 != 0)
                    continue;
                int sum = 0;  // the window of each of the group's samples, +1 and -1
                for (int i = bits.size() - 128; i < bits.size(); ++i)
                    sum += (i % 8 + 1) * (2 * bits[i - 8] - 1) + (7 - i % 8) * (2 * bits[i] - 1);
                sums << sum;
                const int n = sums.size();
                if (n % 2 == 0)
                    peak = std::max(peak, std::abs(sums[n - 4] + 3.0 * (sums[n - 3] + sums[n - 2])
                                                   + sums[n - 1]));
            }
            meter.process(block.data(), msbFirst ? ASIOSTDSDInt8MSB1 : ASIOSTDSDInt8LSB1, 8 * bytes);
            QVERIFY2(qFuzzyCompare(meter.takePeak(), float(peak / 4096)),
                     qPrintable(QString::number(bytes)));
        }
    }
};

QTEST_APPLESS_MAIN(TestLevelMeterDsd)
#include "tst_levelmeterdsd.moc"
