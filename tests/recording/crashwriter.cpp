// Records a counting pattern into the WAV file named on the command line at the real-time
// pace of 48 kHz stereo, until it is killed. Used by the crash-safety test.
#include "audiofilewriter.h"
#include "partitionmanager.h"

#include <QCoreApplication>
#include <QtEndian>
#include <chrono>
#include <thread>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2)
        return 2;
    constexpr int kWords = 480;  // 10 ms per block
    QSharedPointer<PartitionManager> pool(new PartitionManager(kWords * 4 * 1024));
    pool->setPartitionSize(kWords * 4);
    AudioFileWriter writer(pool);
    writer.start(QString::fromLocal8Bit(argv[1]), 0, 2, 32, 48000);
    auto next = std::chrono::steady_clock::now();
    for (quint32 n = 0;; n += kWords) {
        for (int c = 0; c < 2; ++c) {
            uchar* p = pool->acquire();
            if (!p)
                return 3;
            for (int i = 0; i < kWords; ++i)
                qToLittleEndian<quint32>(((n + i) << 1) | quint32(c), p + i * 4);
            writer.append(c, p, kWords * 4);
        }
        next += std::chrono::milliseconds(10);
        std::this_thread::sleep_until(next);
    }
}
