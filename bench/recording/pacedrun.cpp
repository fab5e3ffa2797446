// Paced writer benchmark. The figures that matter are per thread and come from /proc:
// schedstat's time on CPU (nanoseconds) and status's voluntary and involuntary context
// switches (each one a wake-up of that thread), so they stay meaningful on a busy machine.
#include "pacedrun.h"

#include "audiofilewriter.h"
#include "partitionmanager.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSharedPointer>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct ThreadSample
{
    double cpuMs = 0;
    long switches = 0;
};

long threadId()
{
    return long(syscall(SYS_gettid));
}

ThreadSample sampleThread(long tid)
{
    ThreadSample s;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%ld/schedstat", tid);
    if (FILE* f = std::fopen(path, "r")) {
        unsigned long long ns = 0;
        if (std::fscanf(f, "%llu", &ns) == 1)
            s.cpuMs = ns / 1e6;
        std::fclose(f);
    }
    std::snprintf(path, sizeof path, "/proc/self/task/%ld/status", tid);
    if (FILE* f = std::fopen(path, "r")) {
        char line[256];
        long n = 0;
        while (std::fgets(line, sizeof line, f)) {
            if (std::sscanf(line, "voluntary_ctxt_switches: %ld", &n) == 1 ||
                std::sscanf(line, "nonvoluntary_ctxt_switches: %ld", &n) == 1)
                s.switches += n;
        }
        std::fclose(f);
    }
    return s;
}

struct Case
{
    const char* name;
    int type; // file type code: 0 WAV, 1 DFF, 2 DSF
    int rate;
    unsigned block; // bytes per channel and buffer half, as the driver hands them
};

struct Result
{
    double mib = 0;
    double writerCpuPerMib = 0;
    double wakeupsPerSecond = 0;
    double plainCpuPerMib = 0;
    double pacedPlainCpuPerMib = 0;
    double appendMaxUs = 0; // the longest acquire + copy + append on the driver thread
};

double bytesPerSecond(const Case& c)
{
    return c.type == 0 ? c.rate * 2.0 * 4 : c.rate * 2.0 / 8;
}

void addNs(timespec* t, long ns)
{
    t->tv_nsec += ns;
    while (t->tv_nsec >= 1000000000L) {
        t->tv_nsec -= 1000000000L;
        ++t->tv_sec;
    }
}

double nowUs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

// The driver: one buffer half per period, both channels, copied into partitions as the
// controller does.
double drive(PartitionManager& pool, AudioFileWriter& writer, const Case& c, long halves)
{
    std::vector<uchar> source(c.block * 2);
    for (size_t i = 0; i < source.size(); ++i)
        source[i] = uchar(i * 37 + 11);
    const long periodNs = long(1e9 * c.block * 2 / bytesPerSecond(c));
    double worst = 0;
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (long h = 0; h < halves; ++h) {
        addNs(&next, periodNs);
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        const double t0 = nowUs();
        for (int ch = 0; ch < 2; ++ch) {
            uchar* p = pool.acquire();
            if (!p) {
                std::fprintf(stderr, "pool exhausted: the writer fell behind\n");
                continue;
            }
            std::memcpy(p, source.data() + ch * c.block, c.block);
            writer.append(ch, p, c.block);
        }
        worst = std::max(worst, nowUs() - t0);
    }
    return worst;
}

// The same bytes through a bare write() loop from one buffer, chunkBytes at a time: with no
// period all at once from a buffer kept hot (the plain loop), or one chunk per period, each after
// a sleep (the paced plain loop), the least a writer that must reach the disk at that pace pays.
double plainLoopCpuPerMib(const QString& path, qint64 bytes, qint64 chunkBytes, long periodNs)
{
    // Its own thread, running: read from the thread's CPU clock, which schedstat may lag.
    const auto cpuMs = [] {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
    };
    std::vector<char> chunk(size_t(chunkBytes), 'x');
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    const double before = cpuMs();
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    for (qint64 done = 0; done < bytes; done += chunkBytes) {
        if (periodNs > 0) {
            addNs(&next, periodNs);
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        }
        const size_t n = size_t(std::min(chunkBytes, bytes - done));
        if (::write(fd, chunk.data(), n) != ssize_t(n))
            std::perror("write");
    }
    ::close(fd);
    const double cpu = cpuMs() - before;
    QFile::remove(path);
    return cpu / (bytes / 1048576.0);
}

Result runCase(const QString& dir, const Case& c, double seconds)
{
    QSharedPointer<PartitionManager> pool(new PartitionManager(64u << 20));
    pool->setPartitionSize(c.block);
    const long halves = long(seconds * bytesPerSecond(c) / (2.0 * c.block));
    const QString path = dir + "/paced";
    std::atomic<long> writerTid{0};
    Result r;
    {
        AudioFileWriter writer(pool);
        QObject::connect(&writer, &QThread::started, [&] { writerTid = threadId(); });
        writer.setFileMaxSize(0);
        writer.start(path, c.type, 2, 32, c.rate);
        while (!writerTid)
            QThread::msleep(1);
        const ThreadSample before = sampleThread(writerTid);
        const double t0 = nowUs();
        std::thread driver([&] { r.appendMaxUs = drive(*pool, writer, c, halves); });
        driver.join();
        writer.closeFile();
        while (pool->usedCount() > 0)
            QThread::msleep(1);
        const double elapsed = (nowUs() - t0) / 1e6;
        const ThreadSample after = sampleThread(writerTid);
        r.mib = halves * 2.0 * c.block / 1048576.0;
        r.writerCpuPerMib = (after.cpuMs - before.cpuMs) / r.mib;
        r.wakeupsPerSecond = (after.switches - before.switches) / elapsed;
    }
    const qint64 fileBytes = QFile(path).size();
    QFile::remove(path);
    r.plainCpuPerMib = plainLoopCpuPerMib(path, fileBytes, 1 << 20, 0);
    // A quarter of a second of audio per write, four a second.
    r.pacedPlainCpuPerMib =
        plainLoopCpuPerMib(path, fileBytes, qint64(bytesPerSecond(c) / 4), 250000000L);
    return r;
}

} // namespace

int runPaced(const char* directory, double seconds)
{
    QTemporaryDir dir(QString::fromLocal8Bit(directory) + "/tessaro-paced-XXXXXX");
    if (!dir.isValid()) {
        std::fprintf(stderr, "cannot make a directory in %s\n", directory);
        return 1;
    }
    const Case cases[] = {{"DSF DSD 4x", 2, 11289600, 2048},
                          {"DSF DSD 4x", 2, 11289600, 16384},
                          {"DFF DSD 4x", 1, 11289600, 2048},
                          {"DFF DSD 4x", 1, 11289600, 16384},
                          {"WAV 384k", 0, 384000, 2048}};
    std::printf(
        "paced: %.0f s per case in %s; writer thread's CPU per MiB and wake-ups from "
        "/proc, beside write() of the same bytes in 1 MiB blocks at once (plain) and a quarter "
        "second of audio per write, 4 a second (paced plain)\n",
        seconds, qPrintable(dir.path()));
    for (const Case& c : cases) {
        const Result r = runCase(dir.path(), c, seconds);
        std::printf("%-11s %5u B/block  %6.1f MiB  writer %6.3f CPU ms/MiB  %6.1f wake-ups/s  "
                    "plain %6.3f CPU ms/MiB  ratio %5.2f  paced plain %6.3f  ratio %5.2f  "
                    "longest driver half %7.1f us\n",
                    c.name, c.block, r.mib, r.writerCpuPerMib, r.wakeupsPerSecond, r.plainCpuPerMib,
                    r.writerCpuPerMib / r.plainCpuPerMib, r.pacedPlainCpuPerMib,
                    r.writerCpuPerMib / r.pacedPlainCpuPerMib, r.appendMaxUs);
        std::fflush(stdout);
    }
    return 0;
}
