// Prints the cost of the driver-thread path, processBuffer for two channels while recording
// (acquire, copy, append; no monitoring pairs without a driver), against a plain memcpy.
#include "asiocontroller.h"
#include "asiodrivers.h"
#include "asiohoststate.h"
#include "audiofilewriter.h"
#include "partitionmanager.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

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

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    AsioHostState* host = AsioHostState::instance();
    for (long samples : {64L, 512L, 4096L}) {
        const unsigned bytes = unsigned(samples * 4);
        constexpr int kCalls = 20000;
        QSharedPointer<PartitionManager> pool(new PartitionManager(bytes * (kCalls + 8)));
        pool->setPartitionSize(bytes);
        QSharedPointer<AudioFileWriter> writer(new AudioFileWriter(pool));
        AsioController controller(host, QSharedPointer<AsioDrivers>(new AsioDrivers), pool,
                                  writer, 0);
        std::vector<unsigned char> memory(8 * bytes);
        for (int k = 0; k < 4; ++k) {
            host->bufferInfos[k].isInput = k < 2 ? ASIOTrue : ASIOFalse;
            host->bufferInfos[k].buffers[0] = memory.data() + 2 * k * bytes;
            host->bufferInfos[k].buffers[1] = memory.data() + (2 * k + 1) * bytes;
            host->channelInfos[k].type = ASIOSTInt32LSB;
        }
        host->sampleRate = 48000;
        host->preferredBufferSize = samples;
        host->inputBufferCount = 2;
        host->outputBufferCount = 2;
        // No driver is loaded, so no buffer pairs exist and only the recording half runs.
        controller.setFileName(dir.filePath("bench.wav"));
        controller.startRecording(true);
        const long before = allocations;
        QElapsedTimer t;
        t.start();
        for (int i = 0; i < kCalls; i += 2) {
            controller.processBuffer(memory.data(), 0, ASIOSTInt32LSB, samples, 0);
            controller.processBuffer(memory.data() + 2 * bytes, 1, ASIOSTInt32LSB, samples, 0);
        }
        const double ns = double(t.nsecsElapsed()) / kCalls;
        const long news = allocations - before;
        std::vector<unsigned char> a(bytes), b(bytes);
        t.restart();
        for (int i = 0; i < kCalls; ++i) {
            std::memcpy(b.data(), a.data(), bytes);
            asm volatile("" ::"r"(b.data()) : "memory");
        }
        const double copy = double(t.nsecsElapsed()) / kCalls;
        std::printf("%5ld samples: processBuffer %.0f ns per call, memcpy %.0f ns, ratio %.1f, "
                    "%.2f operator new calls per call\n",
                    samples, ns, copy, ns / copy, double(news) / kCalls);
        controller.stopRecording();
    }
    return 0;
}
