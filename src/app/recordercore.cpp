#include "recordercore.h"

#include "appidentity.h"
#include "asiocontroller.h"
#include "asiodrivers.h"
#include "asiohoststate.h"
#include "audiofilewriter.h"
#include "ctrlsplitsizeadjuster.h"
#include "partitionmanager.h"
#include "simulateddriver.h"
#ifdef TESSARO_HAVE_ALSA_DRIVER
#include "alsadriver.h"
#endif
#include "winfsinfo.h"

#include <QTimer>

namespace {

// The log window is connected only after the core exists, so a warning about the core is
// given once the event loop runs; standard error has it at once.
void warnLater(AsioController* controller, const QString& message)
{
    qWarning("%s", qPrintable(message));
    QTimer::singleShot(0, controller, [controller, message]() {
        controller->appendWarning(message);
    });
}

} // namespace

namespace RecorderCore {

int usablePoolMegabytes(int recordingBufferMB)
{
    return qBound(1, recordingBufferMB, 4095);
}

AsioController* createController(int recordingBufferMB)
{
    registerSimulatedDriver();
#ifdef TESSARO_HAVE_ALSA_DRIVER
    registerAlsaDrivers();
#endif
    const int megabytes = usablePoolMegabytes(recordingBufferMB);
    AsioHostState* host = AsioHostState::instance();
    QSharedPointer<AsioDrivers> drivers(new AsioDrivers);
    QSharedPointer<PartitionManager> pool(new PartitionManager(unsigned(megabytes) << 20));
    QSharedPointer<AudioFileWriter> writer(new AudioFileWriter(pool));
    auto* controller = new AsioController(host, drivers, pool, writer, megabytes, nullptr);
    writer->setParent(controller);
    host->setBufferProcessor(controller);
    if (megabytes != recordingBufferMB)
        warnLater(controller, QObject::tr("recording_buffer_MB %1 is out of range, using %2")
                                  .arg(recordingBufferMB)
                                  .arg(megabytes));
    controller->scanDrivers();
    controller->scanSamplingRate();
    return controller;
}

CtrlSplitSizeAdjuster* createSplitAdjuster(AsioController* controller)
{
    return new CtrlSplitSizeAdjuster(new WinFsInfo(QString()), controller);
}

Assembly assemble()
{
    Assembly core;
    core.input.load(AppIdentity::organisation(), AppIdentity::application(), true);
    core.controller = createController(core.input.recording_buffer_MB);
    core.adjuster = createSplitAdjuster(core.controller);
    return core;
}

void saveSettings(AsioController* controller, CtrlSplitSizeAdjuster* adjuster,
                  SystemInitData& input, const QString& lastPath)
{
    const QString org = AppIdentity::organisation();
    const QString app = AppIdentity::application();
    controller->saveIni(org, app, true);
    adjuster->saveSettings(org, app);
    input.save_path = lastPath;
    input.device = controller->deviceName();
    input.sampling_rate = controller->sampleRate();
    input.save(org, app, true);
}

} // namespace RecorderCore
