// With --paced, see pacedrun.cpp. Otherwise prints, on one disk and in one run, a plain write()
// loop and each format's writer: MB/s from the first append() to the file on disk, CPU milliseconds
// per MB of the writing thread, both as ratios to the plain loop, and the heap allocations (malloc
// family and operator new) per frame on the writer thread and per append() call on the producing
// (driver) thread. For reference it also prints a loop that copies the same blocks out of a
// pool-sized buffer into its write buffer before writing: the least any writer pays that reads
// every recorded byte once from memory the caches no longer hold, as the writers do here.
#include "audiofilewriter.h"
#include "audiofilewriterimpl.h"
#include "pacedrun.h"
#include "partitionmanager.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

// Every allocation goes through these; the thread's role decides which counter it lands in.
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
}

namespace {

enum Role
{
    Other,
    Driver,
    Writer
};
thread_local Role role = Other;
std::atomic<long> driverAllocations{0};
std::atomic<long> writerAllocations{0};

void countAllocation()
{
    if (role == Driver)
        ++driverAllocations;
    else if (role == Writer)
        ++writerAllocations;
}

} // namespace

extern "C" void* malloc(size_t size)
{
    countAllocation();
    return __libc_malloc(size);
}
extern "C" void* calloc(size_t n, size_t size)
{
    countAllocation();
    return __libc_calloc(n, size);
}
extern "C" void* realloc(void* p, size_t size)
{
    countAllocation();
    return __libc_realloc(p, size);
}
extern "C" int posix_memalign(void** p, size_t alignment, size_t size)
{
    countAllocation();
    *p = __libc_memalign(alignment, size);
    return *p ? 0 : ENOMEM;
}
void* operator new(size_t size)
{
    countAllocation();
    if (void* p = __libc_malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, size_t) noexcept
{
    std::free(p);
}

namespace {

constexpr qint64 kTotal = 512ll << 20; // bytes of sample data per run
constexpr unsigned kBlock = 8 * 1024;  // bytes per channel and half-buffer, as a driver hands them
constexpr qint64 kChunk = AudioFileWriterImpl::WriteBufferSize; // the writer's largest write
constexpr unsigned kPoolBytes = 256u << 20;
constexpr qint64 kFrames = kTotal / (2 * kBlock);

struct Figures
{
    double mbPerSecond = 0;
    double cpuMsPerMb = 0;
    long writerAllocs = 0;
    long writerAllocsWhileWriting = 0; // from the file's opening to its closing
    double writerAllocsPerFrame = 0;
    double driverAllocsPerCall = 0;
};

double threadCpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_utime.tv_sec * 1e3 + usage.ru_utime.tv_usec / 1e3 +
           usage.ru_stime.tv_sec * 1e3 + usage.ru_stime.tv_usec / 1e3;
}

void syncFile(const QString& path)
{
    const int fd = ::open(path.toLocal8Bit().constData(), O_WRONLY);
    ::fsync(fd);
    ::close(fd);
}

// kTotal bytes written in chunks of kChunk; fill(chunk, offset) prepares each chunk first.
template <typename Fill> Figures writeLoop(const QString& path, Fill fill)
{
    std::vector<char> chunk(size_t(kChunk), 'x');
    QElapsedTimer t;
    t.start();
    const double cpu0 = threadCpuMs();
    const int fd = ::open(path.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    for (qint64 done = 0; done < kTotal; done += kChunk) {
        fill(chunk.data(), done);
        if (::write(fd, chunk.data(), chunk.size()) != kChunk) {
            std::perror("write");
            std::exit(1); // figures of writes that failed would be meaningless
        }
    }
    ::close(fd);
    const double cpu = threadCpuMs() - cpu0;
    syncFile(path);
    Figures f;
    f.mbPerSecond = kTotal / 1e6 / (t.nsecsElapsed() / 1e9);
    f.cpuMsPerMb = cpu / (kTotal / 1e6);
    return f;
}

Figures plainLoop(const QString& path)
{
    return writeLoop(path, [](char*, qint64) {});
}

// The blocks of each frame as the writers find them: one channel's after the other's, in a
// buffer as large as the writers' pool, touched long before.
Figures poolCopyLoop(const QString& path)
{
    std::vector<char> pool(kPoolBytes, 'x');
    return writeLoop(path, [&pool](char* chunk, qint64 offset) {
        for (qint64 i = 0; i < kChunk; i += kBlock) {
            const size_t from = size_t((offset + i) % kPoolBytes);
            std::memcpy(chunk + i, pool.data() + from, kBlock);
        }
    });
}

Figures formatRun(const QString& path, int type, int rate)
{
    QSharedPointer<PartitionManager> pool(new PartitionManager(kPoolBytes));
    pool->setPartitionSize(kBlock);
    std::atomic<double> writerCpu{0};
    writerAllocations = 0;
    driverAllocations = 0;
    Figures f;
    QElapsedTimer t;
    t.start();
    {
        AudioFileWriter writer(pool);
        // started and finished are emitted on the writer thread itself.
        QObject::connect(&writer, &QThread::started, [&] {
            role = Writer;
            writerCpu = -threadCpuMs();
        });
        QObject::connect(&writer, &QThread::finished,
                         [&] { writerCpu = writerCpu + threadCpuMs(); });
        long atOpen = 0;
        QObject::connect(&writer, &AudioFileWriter::fileOpened,
                         [&] { atOpen = writerAllocations; });
        QObject::connect(&writer, &AudioFileWriter::fileClosed,
                         [&] { f.writerAllocsWhileWriting = writerAllocations - atOpen; });
        writer.setFileMaxSize(0);
        writer.start(path, type, 2, 32, rate);
        role = Driver;
        for (qint64 frame = 0; frame < kFrames; ++frame) {
            for (int c = 0; c < 2; ++c) {
                uchar* p;
                while (!(p = pool->acquire()))
                    QThread::usleep(100);
                writer.append(c, p, kBlock);
            }
        }
        role = Other;
        writer.closeFile();
    } // the destructor waits until the file is closed
    syncFile(path);
    f.mbPerSecond = kTotal / 1e6 / (t.nsecsElapsed() / 1e9);
    f.cpuMsPerMb = writerCpu / (kTotal / 1e6);
    f.writerAllocs = writerAllocations;
    f.writerAllocsPerFrame = double(writerAllocations) / kFrames;
    f.driverAllocsPerCall = double(driverAllocations) / (2 * kFrames);
    return f;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}
double lowest(const std::vector<double>& v)
{
    return *std::min_element(v.begin(), v.end());
}
double highest(const std::vector<double>& v)
{
    return *std::max_element(v.begin(), v.end());
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // bench_writer --paced [directory] [seconds]: the writer at the real pace of a driver.
    if (argc > 1 && std::strcmp(argv[1], "--paced") == 0)
        return runPaced(argc > 2 ? argv[2] : qPrintable(QDir::tempPath()),
                        argc > 3 ? std::max(1.0, std::atof(argv[3])) : 10.0);
    const QString base = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::tempPath();
    QTemporaryDir dir(base + "/tessaro-bench-XXXXXX");
    if (!dir.isValid()) {
        std::fprintf(stderr, "cannot make a directory in %s: %s\n", qPrintable(base),
                     qPrintable(dir.errorString()));
        return 1;
    }
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    std::printf("directory: %s, %lld MiB per run, %u bytes per channel block, plain write() of "
                "%lld KiB; medians of %d rounds (lowest-highest MB/s)\n",
                qPrintable(dir.path()), kTotal >> 20, kBlock, kChunk >> 10, rounds);
    // Each file goes as soon as it is measured: the cached pages of earlier runs would burden
    // the later ones. The disk's pace varies from one run to the next by as much as the
    // differences measured, so every loop runs in each of several rounds, in an order that
    // rotates from round to round, and each ratio is taken against the plain loop of its round.
    const auto measured = [&dir](const QString& name, auto run) {
        const QString path = dir.filePath(name);
        const Figures f = run(path);
        QFile::remove(path);
        return f;
    };
    struct Loop
    {
        const char* name;
        int type;
        int rate;
    }; // type -2: plain, -1: pool copy
    const Loop loops[] = {{"plain loop", -2, 0},
                          {"pool copy", -1, 0},
                          {"DSF DSD 4x", 2, 11289600},
                          {"DFF DSD 4x", 1, 11289600},
                          {"WAV 384k", 0, 384000}};
    constexpr int kLoops = int(sizeof loops / sizeof *loops);
    std::vector<Figures> figures[kLoops];
    for (int round = 0; round < rounds; ++round) {
        for (int k = 0; k < kLoops; ++k) {
            const int i = (k + round) % kLoops;
            figures[i].push_back(measured(QString("bench.%1").arg(i), [&](const QString& path) {
                return loops[i].type == -2   ? plainLoop(path)
                       : loops[i].type == -1 ? poolCopyLoop(path)
                                             : formatRun(path, loops[i].type, loops[i].rate);
            }));
        }
    }
    for (int i = 0; i < kLoops; ++i) {
        std::vector<double> mbps, cpu, speedRatio, cpuRatio;
        for (int r = 0; r < rounds; ++r) {
            const Figures& f = figures[i][size_t(r)];
            mbps.push_back(f.mbPerSecond);
            cpu.push_back(f.cpuMsPerMb);
            speedRatio.push_back(f.mbPerSecond / figures[0][size_t(r)].mbPerSecond);
            cpuRatio.push_back(f.cpuMsPerMb / figures[0][size_t(r)].cpuMsPerMb);
        }
        std::printf("%-11s %7.0f MB/s (%4.0f-%4.0f)  %6.3f CPU ms/MB", loops[i].name, median(mbps),
                    lowest(mbps), highest(mbps), median(cpu));
        if (i > 0)
            std::printf("  of plain: %.2f speed (lowest %.2f), %.2f CPU (highest %.2f)",
                        median(speedRatio), lowest(speedRatio), median(cpuRatio),
                        highest(cpuRatio));
        if (loops[i].type >= 0) {
            const Figures& f = figures[i].back();
            std::printf("  allocations: %.4f per frame on the writer (%ld in all, %ld of them "
                        "between opening and closing the file), %.4f per append on the driver",
                        f.writerAllocsPerFrame, f.writerAllocs, f.writerAllocsWhileWriting,
                        f.driverAllocsPerCall);
        }
        std::printf("\n");
    }
    return 0;
}
