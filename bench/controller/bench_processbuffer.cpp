// Prints the cost of the driver-thread path, processBuffer for two channels with monitoring to
// the outputs and recording (acquire, copy, append), against a plain memcpy of the same bytes,
// and the heap allocations it makes.
#include "asiocontroller.h"
#include "asiodrivers.h"
#include "asiohoststate.h"
#include "audiofilewriter.h"
#include "partitionmanager.h"
#include "simulateddriver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

// Only the allocations of the thread that plays the driver count; the writer thread's own
// are its business.
static std::atomic<long> allocations{0};
static thread_local bool onDriverThread = false;
void* operator new(size_t size)
{
    if (onDriverThread)
        ++allocations;
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

double percentile(std::vector<double> v, double q)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[size_t(q * (v.size() - 1))];
}

// The driver's own buffers are replaced by ours, big enough for every size measured; the
// device is stopped, so only this loop calls processBuffer.
void useBenchBuffers(AsioHostState* host, std::vector<unsigned char>& memory, unsigned bytes,
                     void* saved[4][2])
{
    for (int k = 0; k < 4; ++k)
        for (int h = 0; h < 2; ++h) {
            saved[k][h] = host->bufferInfos[k].buffers[h];
            host->bufferInfos[k].buffers[h] = memory.data() + (2 * k + h) * bytes;
        }
}

void restoreDriverBuffers(AsioHostState* host, void* saved[4][2])
{
    for (int k = 0; k < 4; ++k)
        for (int h = 0; h < 2; ++h)
            host->bufferInfos[k].buffers[h] = saved[k][h];
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    registerSimulatedDriver();
    onDriverThread = true;
    AsioHostState* host = AsioHostState::instance();
    std::printf("processBuffer, two channels, monitoring to the outputs and recording, 48 kHz\n");
    for (long samples : {64L, 512L, 4096L}) {
        const unsigned bytes = unsigned(samples * 4);
        constexpr int kCalls = 20000;
        QSharedPointer<PartitionManager> pool(new PartitionManager(bytes * (kCalls + 8)));
        QSharedPointer<AudioFileWriter> writer(new AudioFileWriter(pool));
        AsioController controller(host, QSharedPointer<AsioDrivers>(new AsioDrivers), pool,
                                  writer, 0);
        host->setBufferProcessor(&controller);
        if (!controller.initializeDriver(QString::fromLatin1(SimulatedDriver::kDescription), 48000)) {
            std::printf("the simulated device did not come up\n");
            return 1;
        }
        controller.stopStreaming();
        controller.setEnabledMonitorAsio(true);
        pool->setPartitionSize(bytes);
        std::vector<unsigned char> memory(8 * bytes, 0x5a);
        void* saved[4][2];
        useBenchBuffers(host, memory, bytes, saved);
        controller.setFileName(dir.filePath("bench.wav"));
        controller.startRecording(true);

        // Back to back, as fast as the loop goes: the writer thread competes for its lock.
        const long before = allocations;
        QElapsedTimer t;
        t.start();
        for (int i = 0; i < kCalls; i += 2) {
            controller.processBuffer(memory.data(), 0, ASIOSTInt32LSB, samples, i / 2 % 2);
            controller.processBuffer(memory.data() + 2 * bytes, 1, ASIOSTInt32LSB, samples, i / 2 % 2);
        }
        const double backToBack = double(t.nsecsElapsed()) / kCalls;
        const long news = allocations - before;
        controller.stopRecording();
        while (!controller.isIdle())
            QThread::msleep(5);

        // Paced like a driver, one buffer switch every 100 us: each call timed on its own.
        controller.startRecording(true);
        std::vector<double> paced;
        paced.reserve(kCalls);
        for (int i = 0; i < kCalls; i += 2) {
            t.restart();
            while (t.nsecsElapsed() < 100000) {}
            for (long ch = 0; ch < 2; ++ch) {
                t.restart();
                controller.processBuffer(memory.data() + 2 * ch * bytes, ch, ASIOSTInt32LSB, samples, i / 2 % 2);
                paced.push_back(double(t.nsecsElapsed()));
            }
        }
        controller.stopRecording();
        while (!controller.isIdle())
            QThread::msleep(5);

        std::vector<unsigned char> a(bytes), b(bytes);
        t.restart();
        for (int i = 0; i < kCalls; ++i) {
            std::memcpy(b.data(), a.data(), bytes);
            asm volatile("" ::"r"(b.data()) : "memory");
        }
        const double copy = double(t.nsecsElapsed()) / kCalls;
        const double median = percentile(paced, 0.5);
        std::printf("%5ld samples: paced median %6.0f ns, p99 %6.0f ns per call (%.1f x memcpy of "
                    "%u bytes, %.0f ns); back to back %6.0f ns; %ld operator new calls in %d calls\n",
                    samples, median, percentile(paced, 0.99), median / copy, bytes, copy,
                    backToBack, news, kCalls);
        restoreDriverBuffers(host, saved);
        controller.unloadCurrentDriver();
        host->setBufferProcessor(nullptr);
    }
    return 0;
}
