// Prints how closely the simulated device keeps real time through the host layer: buffer
// switches delivered against those the monotonic clock has made due, the drift of the pace
// between the first and the last switch (ppm), how late each switch arrived after its due time
// (median, 99th percentile, worst), and the process's CPU share while streaming.
// Usage: bench_simulateddrift [seconds per configuration, default 10]
#include "asiodrivers.h"
#include "asiohoststate.h"
#include "simulateddriver.h"

#include <QCoreApplication>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <vector>

namespace {

uint64_t clockNs(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec);
}

uint64_t monotonicNs()
{
    return clockNs(CLOCK_MONOTONIC);
}

// Driver thread: stores the arrival time of each switch in a buffer sized before the start.
class ArrivalRecorder : public AudioBufferProcessor
{
public:
    explicit ArrivalRecorder(size_t capacity) : arrivals(capacity) {}
    void processBuffer(unsigned char*, long channel, ASIOSampleType, long, long) override
    {
        if (channel != 0)
            return;
        const size_t n = count.fetch_add(1);
        if (n < arrivals.size())
            arrivals[n] = monotonicNs();
    }
    void driverResetRequested() override {}

    std::vector<uint64_t> arrivals;
    std::atomic<size_t> count{0};
};

bool bringUp(double rate, long bufferSize)
{
    AsioHostState& host = *AsioHostState::instance();
    if (!loadAsioDriver(SimulatedDriver::kDescription) || ASIOInit(&host.driverInfo) != ASE_OK)
        return false;
    host.installAsioCallbacks();
    ASIOIoFormat format{};
    format.FormatType = rate >= SimulatedDriver::kDsdBaseRate ? kASIODSDFormat : kASIOPCMFormat;
    if (ASIOFuture(kAsioSetIoFormat, &format) != ASE_SUCCESS || ASIOSetSampleRate(rate) != ASE_OK ||
        initAsioStaticData(host) != 0)
        return false;
    host.preferredBufferSize = bufferSize;
    return host.createAsioBuffers(host) == ASE_OK;
}

void measure(double rate, long bufferSize, double seconds)
{
    const double period = bufferSize / rate;
    ArrivalRecorder recorder(size_t(seconds / period * 1.5) + 16);
    AsioHostState::instance()->setBufferProcessor(&recorder);
    if (!bringUp(rate, bufferSize)) {
        std::printf("%10.0f Hz %6ld: the device did not come up\n", rate, bufferSize);
        return;
    }
    const uint64_t cpuStart = clockNs(CLOCK_PROCESS_CPUTIME_ID);
    const uint64_t start = monotonicNs();
    ASIOStart();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const uint64_t end = monotonicNs();
    const double cpuShare =
        double(clockNs(CLOCK_PROCESS_CPUTIME_ID) - cpuStart) / double(end - start);
    ASIOStop();
    ASIOExit();
    AsioHostState::instance()->setBufferProcessor(nullptr);

    const size_t delivered = std::min(recorder.count.load(), recorder.arrivals.size());
    const double predicted = (end - start) / 1e9 / period;
    std::vector<double> lateUs;
    for (size_t n = 0; n < delivered; ++n) {
        const double due = start + (n + 1) * period * 1e9;
        lateUs.push_back((double(recorder.arrivals[n]) - due) / 1000.0);
    }
    std::sort(lateUs.begin(), lateUs.end());
    const auto at = [&](double q) {
        return lateUs.empty() ? 0.0 : lateUs[size_t(q * (lateUs.size() - 1))];
    };
    // Drift: how far the last switch strayed from its due time compared with the first, over
    // the run; a pace that holds keeps the two equal however late both are.
    const double spanUs =
        delivered > 1 ? (recorder.arrivals[delivered - 1] - recorder.arrivals[0]) / 1000.0 : 0.0;
    const double expectedSpanUs = delivered > 1 ? (delivered - 1) * period * 1e6 : 0.0;
    std::printf(
        "%10.0f Hz %6ld: %6zu switches of %8.1f due, drift %+7.0f ppm, late median %7.1f us, "
        "p99 %8.1f us, worst %8.1f us, CPU %5.1f %%\n",
        rate, bufferSize, delivered, predicted,
        expectedSpanUs > 0 ? (spanUs / expectedSpanUs - 1.0) * 1e6 : 0.0, at(0.5), at(0.99),
        at(1.0), cpuShare * 100.0);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const double seconds = argc > 1 ? std::max(1.0, std::atof(argv[1])) : 10.0;
    registerSimulatedDriver();
    SimulatedDriver::setSignal(SimulatedDriver::Signal::Tone);
    std::printf("simulated device over the host layer, %.0f s per configuration\n", seconds);
    const struct
    {
        double rate;
        long size;
    } configs[] = {{44100, 64},     {44100, 512},    {192000, 2048},   {384000, 8192},
                   {2822400, 4096}, {5644800, 8192}, {11289600, 16384}};
    for (const auto& c : configs)
        measure(c.rate, c.size, seconds);
    return 0;
}
