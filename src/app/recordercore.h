#ifndef TESSARO_RECORDERCORE_H
#define TESSARO_RECORDERCORE_H

#include "systeminitdata.h"

#include <QString>
#include <memory>

class AsioController;
class CtrlSplitSizeAdjuster;

// The assembly of the recorder and its closing phase. GUI thread.
namespace RecorderCore {

// Whether the core gets its RAM buffer: a task that records nothing (listing the devices)
// does without it, so a large setting costs it neither memory nor the time to commit it.
enum class Pool
{
    Allocated,
    None
};

// Registers the built-in drivers, then builds host state, driver list, pool, writer and
// controller in this order. A pool size outside 1..4095 MiB is clamped and the value used
// is logged as a warning once the controller exists. Pool::None makes an empty pool.
AsioController* createController(int recordingBufferMB, Pool pool = Pool::Allocated);
// The pool size createController uses, in MiB: the setting limited to what a 32-bit byte
// count can hold, and at least one.
int usablePoolMegabytes(int recordingBufferMB);
std::shared_ptr<CtrlSplitSizeAdjuster> createSplitAdjuster(AsioController* controller);

// Repairs every file that the journal of open recordings still lists, that is every file a
// crash or power loss cut off, then empties the journal. The log has the outcome of each
// once the event loop runs.
void recoverJournaledFiles(AsioController* controller);

// The recording core as the program builds it: the stored input settings, then the controller
// with a pool of their size, then the auto-split policy.
struct Assembly
{
    SystemInitData input;
    AsioController* controller = nullptr;
    std::shared_ptr<CtrlSplitSizeAdjuster> adjuster;
};
Assembly assemble(Pool pool = Pool::Allocated);

// Saves "CONFIG", "AUTO_SPLIT" and "INPUT" (refreshed from the running objects).
void saveSettings(AsioController* controller, CtrlSplitSizeAdjuster* adjuster,
                  SystemInitData& input, const QString& lastPath);

} // namespace RecorderCore

#endif
