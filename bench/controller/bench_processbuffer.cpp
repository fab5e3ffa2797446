// Prints the cost of the driver-thread path, processBuffer for two channels with monitoring to
// the outputs, recording (acquire, copy, append) and the level meters, against a plain memcpy
// of the same bytes, and the heap allocations it makes; then the same without the meters, and
// the meter of one block alone, in PCM at 48 kHz and at the DSD 4x buffer sizes, also as a share
// of one core at the pace the device delivers those blocks; then the rare events and hands-free
// capture, by their allocations on the driver thread.
#include "asiocontroller.h"
#include "asiodrivers.h"
#include "asiohoststate.h"
#include "audiofilewriter.h"
#include "capturepath.h"
#include "capturesettings.h"
#include "driversession.h"
#include "levelmeter.h"
#include "partitionmanager.h"
#include "simulateddriver.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

// Only the allocations of the thread that plays the driver count; the writer thread's own
// are its business. operator new and the malloc family are counted apart (operator new goes
// to the C library's allocator directly, so it is not counted twice).
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
}

struct Allocations
{
    long news = 0;
    long mallocs = 0;
};
static std::atomic<long> newCount{0};
static std::atomic<long> mallocCount{0};
static thread_local bool onDriverThread = false;

static Allocations allocationsSoFar()
{
    return {newCount.load(), mallocCount.load()};
}

extern "C" void* malloc(size_t size)
{
    if (onDriverThread)
        ++mallocCount;
    return __libc_malloc(size);
}
extern "C" void* calloc(size_t n, size_t size)
{
    if (onDriverThread)
        ++mallocCount;
    return __libc_calloc(n, size);
}
extern "C" void* realloc(void* p, size_t size)
{
    if (onDriverThread)
        ++mallocCount;
    return __libc_realloc(p, size);
}
extern "C" int posix_memalign(void** p, size_t alignment, size_t size)
{
    if (onDriverThread)
        ++mallocCount;
    *p = __libc_memalign(alignment, size);
    return *p ? 0 : ENOMEM;
}
void* operator new(size_t size)
{
    if (onDriverThread)
        ++newCount;
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

// The simulated device brought up at the rate and its stream stopped, so that the bench plays
// its driver: the pool's partitions hold one block of `bytes`, the host's buffers point into
// memory, and a recording into file runs.
void startBenchRecording(AsioController& controller, PartitionManager& pool, double rate,
                         unsigned bytes, std::vector<unsigned char>& memory, void* saved[4][2],
                         const QString& file)
{
    AsioHostState* host = AsioHostState::instance();
    host->setBufferProcessor(&controller);
    if (!controller.initializeDriver(QString::fromLatin1(SimulatedDriver::kDescription), rate)) {
        std::printf("the simulated device did not come up\n");
        std::exit(1);
    }
    controller.driverSession().stopStreaming();
    pool.setPartitionSize(bytes);
    useBenchBuffers(host, memory, bytes, saved);
    controller.setFileName(file);
    controller.startRecording(true);
}

// A controller over a pool of poolBytes and its writer, as the program builds them.
struct BenchRig
{
    explicit BenchRig(unsigned poolBytes)
        : pool(new PartitionManager(poolBytes)), writer(new AudioFileWriter(pool)),
          controller(AsioHostState::instance(), QSharedPointer<AsioDrivers>(new AsioDrivers), pool,
                     writer)
    {}
    QSharedPointer<PartitionManager> pool;
    QSharedPointer<AudioFileWriter> writer;
    AsioController controller;
};

// The GUI thread's turn: for ms it handles what the driver thread left, as its timer would;
// its allocations are not the driver thread's.
void letGuiLook(int ms)
{
    onDriverThread = false;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    onDriverThread = true;
}

// One input's block through the controller, or with the meter step left out (the capture
// path's steps but the meters), for the figures without meters.
void processBlock(AsioController& controller, bool metered, unsigned char* data, long channel,
                  ASIOSampleType type, long samples, long half)
{
    if (metered) {
        controller.processBuffer(data, channel, type, samples, half);
        return;
    }
    CapturePath& capture = controller.capturePath();
    capture.monitorBuffer(data, channel, type, samples, half);
    capture.recordBuffer(data, channel, type, samples);
}

struct Figures
{
    double pacedFast = 0; // the fastest tenth: the call undisturbed by other processes
    double pacedMedian = 0;
    double pacedP99 = 0;
    double backToBack = 0;
    Allocations backToBackAllocations;
    Allocations pacedAllocations;
};

constexpr int kCalls = 10000;

Allocations since(const Allocations& before)
{
    const Allocations now = allocationsSoFar();
    return {now.news - before.news, now.mallocs - before.mallocs};
}

void waitIdle(AsioController& controller)
{
    controller.stopRecording();
    while (!controller.isIdle())
        QThread::msleep(5);
}

// processBuffer of both inputs, back to back and paced like a driver (a buffer switch every
// 100 us, each call timed on its own).
Figures measure(bool metered, double rate, ASIOSampleType type, long samples, const QString& file)
{
    AsioHostState* host = AsioHostState::instance();
    const unsigned bytes = unsigned(AsioController::bytesPerSample(type) * samples);
    BenchRig rig(bytes * (kCalls + 8));
    AsioController& controller = rig.controller;
    std::vector<unsigned char> memory(8 * bytes, 0x5a);
    void* saved[4][2];
    startBenchRecording(controller, *rig.pool, rate, bytes, memory, saved, file);
    controller.setEnabledMonitorAsio(true);
    Figures f;
    const Allocations before = allocationsSoFar();
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < kCalls; i += 2) {
        processBlock(controller, metered, memory.data(), 0, type, samples, i / 2 % 2);
        processBlock(controller, metered, memory.data() + 2 * bytes, 1, type, samples, i / 2 % 2);
    }
    f.backToBack = double(t.nsecsElapsed()) / kCalls;
    f.backToBackAllocations = since(before);
    waitIdle(controller);

    controller.startRecording(true);
    // The timings' own storage is made before the count starts: it is not the driver's.
    std::vector<double> paced;
    paced.reserve(kCalls);
    const Allocations pacedBefore = allocationsSoFar();
    for (int i = 0; i < kCalls; i += 2) {
        t.restart();
        while (t.nsecsElapsed() < 100000) {
        }
        for (long ch = 0; ch < 2; ++ch) {
            t.restart();
            processBlock(controller, metered, memory.data() + 2 * ch * bytes, ch, type, samples,
                         i / 2 % 2);
            paced.push_back(double(t.nsecsElapsed()));
        }
    }
    f.pacedAllocations = since(pacedBefore);
    waitIdle(controller);
    f.pacedFast = percentile(paced, 0.1);
    f.pacedMedian = percentile(paced, 0.5);
    f.pacedP99 = percentile(paced, 0.99);
    restoreDriverBuffers(host, saved);
    controller.unloadCurrentDriver();
    host->setBufferProcessor(nullptr);
    return f;
}

// One meter fed block after block of varied bytes: the fastest tenth and the median per block.
std::pair<double, double> measureMeterAlone(double rate, ASIOSampleType type, long samples)
{
    const unsigned bytes = unsigned(AsioController::bytesPerSample(type) * samples);
    std::vector<unsigned char> block(bytes);
    for (unsigned i = 0; i < bytes; ++i)
        block[i] = uint8_t(i * 2654435761u >> 13);
    LevelMeter meter;
    meter.reset(rate);
    std::vector<double> times;
    times.reserve(kCalls);
    QElapsedTimer t;
    for (int i = 0; i < kCalls; ++i) {
        t.restart();
        meter.process(block.data(), type, samples);
        times.push_back(double(t.nsecsElapsed()));
    }
    return {percentile(times, 0.1), percentile(times, 0.5)};
}

double memcpyTime(unsigned bytes)
{
    std::vector<unsigned char> a(bytes), b(bytes);
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < kCalls; ++i) {
        std::memcpy(b.data(), a.data(), bytes);
        asm volatile("" ::"r"(b.data()) : "memory");
    }
    return double(t.nsecsElapsed()) / kCalls;
}

// The driver's rare events: resyncs, a block of no size, a full RAM buffer that ends the
// recording, and a reset request. They too must allocate nothing on the driver thread; the GUI
// thread reports them afterwards.
Allocations measureRareEvents(const QString& file)
{
    AsioHostState* host = AsioHostState::instance();
    const unsigned bytes = 2048;
    BenchRig rig(bytes * 16);
    AsioController& controller = rig.controller;
    std::vector<unsigned char> memory(8 * bytes, 0x5a);
    void* saved[4][2];
    startBenchRecording(controller, *rig.pool, 48000, bytes, memory, saved, file);
    const Allocations before = allocationsSoFar();
    for (int i = 0; i < 100; ++i)
        controller.driverResyncRequested();
    controller.processBuffer(memory.data(), 0, ASIOSTInt32LSB, 0, 0);
    for (int i = 0; i < 40; ++i) // the first input only: its frames never complete
        controller.processBuffer(memory.data(), 0, ASIOSTInt32LSB, 512, 0);
    controller.driverResetRequested();
    const Allocations during = since(before);
    letGuiLook(500);
    restoreDriverBuffers(host, saved);
    host->setBufferProcessor(nullptr);
    return during;
}

// Hands-free capture at PCM 48 kHz in blocks of 512 samples: armed on -40 dB with a second of
// pre-record, silence while armed, a loud signal that starts the take, a gap of 0.64 s that
// begins a new track, then signal again. Returns the allocations on the driver thread and sets
// files to the number of files the take left.
Allocations measureHandsFree(const QString& file, int* files)
{
    AsioHostState* host = AsioHostState::instance();
    const unsigned bytes = 2048;
    BenchRig rig(bytes * 4096);
    AsioController& controller = rig.controller;
    CaptureSettings capture;
    capture.preRecordSeconds = 1.0;
    capture.startLevelDb = -40.0;
    capture.splitOnSilenceSeconds = 0.5;
    capture.minTrackSeconds = 0.5;
    controller.setCaptureSettings(capture);
    std::vector<unsigned char> memory(8 * bytes, 0x5a);
    void* saved[4][2];
    startBenchRecording(controller, *rig.pool, 48000, bytes, memory, saved, file);
    std::vector<unsigned char> silence(2 * bytes, 0);
    long half = 0;
    const auto feed = [&](unsigned char* data, int switches) {
        for (int i = 0; i < switches; ++i, half ^= 1)
            for (long ch = 0; ch < 2; ++ch)
                controller.processBuffer(data + ch * bytes, ch, ASIOSTInt32LSB, 512, half);
    };
    Allocations during;
    const std::pair<unsigned char*, int> phases[] = {
        {silence.data(), 200}, {memory.data(), 100}, {silence.data(), 60}, {memory.data(), 100}};
    for (const auto& [data, switches] : phases) {
        const Allocations before = allocationsSoFar();
        feed(data, switches);
        const Allocations phase = since(before);
        during.news += phase.news;
        during.mallocs += phase.mallocs;
        letGuiLook(200); // between the phases, as the GUI thread's timer would
    }
    onDriverThread = false;
    waitIdle(controller);
    const QFileInfo info(file);
    *files = info.dir().entryList({info.completeBaseName() + QStringLiteral("*")}).size();
    onDriverThread = true;
    restoreDriverBuffers(host, saved);
    controller.unloadCurrentDriver();
    host->setBufferProcessor(nullptr);
    return during;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    registerSimulatedDriver();
    onDriverThread = true;
    struct Case
    {
        const char* name;
        double rate;
        ASIOSampleType type;
        long samples;
    };
    const Case cases[] = {
        {"PCM 48 kHz", 48000, ASIOSTInt32LSB, 64},
        {"PCM 48 kHz", 48000, ASIOSTInt32LSB, 512},
        {"PCM 48 kHz", 48000, ASIOSTInt32LSB, 4096},
        {"PCM 384 kHz", 384000, ASIOSTInt32LSB, 4096},
        {"DSD 4x min", 11289600, ASIOSTDSDInt8MSB1, 4096},
        {"DSD 4x preferred", 11289600, ASIOSTDSDInt8MSB1, 16384},
        {"DSD 4x max", 11289600, ASIOSTDSDInt8MSB1, 131072},
    };
    std::printf("processBuffer per call (one input's block) with both inputs monitored and "
                "recorded, paced like a driver; ns as fastest tenth / median / p99\n");
    for (const Case& c : cases) {
        const QString file =
            dir.filePath(QStringLiteral("bench.%1").arg(c.rate > 384000 ? "dff" : "wav"));
        const Figures with = measure(true, c.rate, c.type, c.samples, file);
        const Figures without = measure(false, c.rate, c.type, c.samples, file);
        const auto meter = measureMeterAlone(c.rate, c.type, c.samples);
        const unsigned bytes = unsigned(AsioController::bytesPerSample(c.type) * c.samples);
        std::printf("%s, %ld samples (%u bytes), memcpy of the block %.0f ns\n", c.name, c.samples,
                    bytes, memcpyTime(bytes));
        for (const auto& [name, f] : {std::pair<const char*, Figures>{"without meters", without},
                                      std::pair<const char*, Figures>{"with meters   ", with}})
            std::printf("  %s %7.0f / %7.0f / %8.0f; back to back %7.0f; on the driver thread "
                        "operator new / malloc %ld / %ld back to back, %ld / %ld paced, in %d "
                        "calls each\n",
                        name, f.pacedFast, f.pacedMedian, f.pacedP99, f.backToBack,
                        f.backToBackAllocations.news, f.backToBackAllocations.mallocs,
                        f.pacedAllocations.news, f.pacedAllocations.mallocs, kCalls);
        // A block arrives every samples / rate seconds, so that is the time the meter has.
        const double blockNs = 1e9 * double(c.samples) / c.rate;
        std::printf("  one meter alone %7.0f / %7.0f: %.0f %% of processBuffer without meters "
                    "(fastest tenths); %.3f / %.3f %% of one core per input at the device's pace "
                    "(a block every %.3f ms)\n",
                    meter.first, meter.second, 100.0 * meter.first / without.pacedFast,
                    100.0 * meter.first / blockNs, 100.0 * meter.second / blockNs, blockNs / 1e6);
        std::fflush(stdout);
    }
    const Allocations rare = measureRareEvents(dir.filePath(QStringLiteral("rare.wav")));
    std::printf(
        "rare events (100 resyncs, a block of no size, a full RAM buffer, a reset request): "
        "on the driver thread operator new / malloc %ld / %ld\n",
        rare.news, rare.mallocs);
    int files = 0;
    const Allocations handsFree =
        measureHandsFree(dir.filePath(QStringLiteral("handsfree.wav")), &files);
    std::printf("hands-free capture (armed, 1 s pre-record, a trigger, a gap that begins a new "
                "track): on the driver thread operator new / malloc %ld / %ld; %d files\n",
                handsFree.news, handsFree.mallocs, files);
    return 0;
}
