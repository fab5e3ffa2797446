// Prints the disk's raw sequential write rate, each format's rate from append() to closed
// file relative to it, and the cost of the driver-thread producer path.
#include "audiofilewriter.h"
#include "partitionmanager.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <unistd.h>

static std::atomic<long> allocations{0};
void* operator new(size_t size)
{
    ++allocations;
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

constexpr qint64 kTotal = 512ll << 20;  // bytes of sample data per run
constexpr unsigned kBlock = 64 * 1024;  // bytes per channel and half-buffer

double rawRate(const QString& path)
{
    QByteArray chunk(1 << 20, 'x');
    QElapsedTimer t;
    t.start();
    const int fd = ::open(path.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    for (qint64 done = 0; done < kTotal; done += chunk.size())
        if (::write(fd, chunk.constData(), size_t(chunk.size())) != chunk.size())
            std::perror("write");
    ::fsync(fd);
    ::close(fd);
    return kTotal / 1e6 / (t.nsecsElapsed() / 1e9);
}

double formatRate(const QString& path, int type, int rate)
{
    QSharedPointer<PartitionManager> pool(new PartitionManager(256u << 20));
    pool->setPartitionSize(kBlock);
    QElapsedTimer t;
    t.start();
    {
        AudioFileWriter writer(pool);
        writer.setFileMaxSize(0);
        writer.start(path, type, 2, 32, rate);
        for (qint64 done = 0; done < kTotal; done += 2 * kBlock) {
            for (int c = 0; c < 2; ++c) {
                uchar* p;
                while (!(p = pool->acquire()))
                    QThread::usleep(100);
                writer.append(c, p, kBlock);
            }
        }
        writer.closeFile();
    }  // the destructor waits until the file is closed
    const int fd = ::open(path.toLocal8Bit().constData(), O_WRONLY);
    ::fsync(fd);
    ::close(fd);
    return kTotal / 1e6 / (t.nsecsElapsed() / 1e9);
}

void producerPath()
{
    constexpr int kCalls = 200000;
    QSharedPointer<PartitionManager> pool(new PartitionManager(kCalls * 512u + 512u));
    pool->setPartitionSize(512);
    AudioFileWriter writer(pool);  // never started: blocks stay queued, as behind a slow disk
    uchar source[512] = {};
    const long before = allocations;
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < kCalls; ++i) {
        uchar* p = pool->acquire();
        std::memcpy(p, source, sizeof source);
        writer.append(i % 2, p, sizeof source);
    }
    const double ns = double(t.nsecsElapsed()) / kCalls;
    std::printf("producer path (acquire, copy 512 bytes, append): %.1f ns per call, %.2f operator "
                "new calls per call (a frame's slot array comes from malloc, not counted)\n",
                ns, double(allocations - before) / kCalls);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QString base = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::tempPath();
    QTemporaryDir dir(base + "/tessaro-bench-XXXXXX");
    std::printf("directory: %s, %lld MiB per run\n", qPrintable(dir.path()), kTotal >> 20);
    const double raw = rawRate(dir.filePath("raw.bin"));
    std::printf("raw write(): %.0f MB/s\n", raw);
    const struct { const char* name; int type; int rate; } formats[] = {
        {"DSF", 2, 11289600}, {"DFF", 1, 11289600}, {"WAV", 0, 384000}};
    for (const auto& f : formats) {
        const double r = formatRate(dir.filePath(QString("bench.%1").arg(f.name)), f.type, f.rate);
        std::printf("%s writer thread: %.0f MB/s, %.2f of raw\n", f.name, r, r / raw);
    }
    producerPath();
    return 0;
}
