#include "recordercore.h"

#include "appidentity.h"
#include "asiocontroller.h"
#include "asiodrivers.h"
#include "asiohoststate.h"
#include "audiofilerepair.h"
#include "audiofilewriter.h"
#include "ctrlsplitsizeadjuster.h"
#include "partitionmanager.h"
#include "recordingjournal.h"
#include "simulateddriver.h"
#ifdef TESSARO_HAVE_ALSA_DRIVER
#include "alsadriver.h"
#endif

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QTimer>

namespace {

// The log window is connected only after the core exists, so a message about the core is
// given once the event loop runs; the log also writes it to standard error then.
void warnLater(AsioController* controller, const QString& message)
{
    QTimer::singleShot(0, controller,
                       [controller, message]() { controller->appendWarning(message); });
}

// The writer reports each file it opens and closes from its own thread; the journal is
// written there before the first block reaches the file.
void keepJournal(AudioFileWriter* writer, AsioController* controller)
{
    auto* journal = new RecordingJournal(RecordingJournal::defaultPath(), controller);
    QObject::connect(writer, &AudioFileWriter::fileOpened, journal, &RecordingJournal::add,
                     Qt::DirectConnection);
    QObject::connect(writer, &AudioFileWriter::fileClosed, journal, &RecordingJournal::remove,
                     Qt::DirectConnection);
    QObject::connect(journal, &RecordingJournal::failed, controller,
                     [controller](const QString& message) { controller->appendWarning(message); });
}

// Every recorder holds a lock file of its own while it runs (a crashed one's counts as stale):
// the files a running recorder has open are not cut off, and repairing them under its writer
// would corrupt them. Takes this recorder's lock.
bool anotherRecorderRuns(const QDir& dir)
{
    dir.mkpath(QStringLiteral("."));
    const QString own =
        QStringLiteral("recorder-%1.running").arg(QCoreApplication::applicationPid());
    static QLockFile running(dir.filePath(own));
    running.tryLock(0);
    for (const QString& name : dir.entryList({QStringLiteral("recorder-*.running")}, QDir::Files)) {
        QLockFile other(dir.filePath(name));
        if (name != own && !other.tryLock(0) && other.error() == QLockFile::LockFailedError)
            return true;
    }
    return false;
}

} // namespace

namespace RecorderCore {

int usablePoolMegabytes(int recordingBufferMB)
{
    return qBound(1, recordingBufferMB, 4095);
}

AsioController* createController(int recordingBufferMB, Pool pool)
{
    registerSimulatedDriver();
#ifdef TESSARO_HAVE_ALSA_DRIVER
    registerAlsaDrivers();
#endif
    const int megabytes = usablePoolMegabytes(recordingBufferMB);
    AsioHostState* host = AsioHostState::instance();
    QSharedPointer<AsioDrivers> drivers(new AsioDrivers);
    const unsigned bytes = pool == Pool::Allocated ? unsigned(megabytes) << 20 : 0;
    QSharedPointer<PartitionManager> partitions(new PartitionManager(bytes));
    QSharedPointer<AudioFileWriter> writer(new AudioFileWriter(partitions));
    auto* controller = new AsioController(host, drivers, partitions, writer, nullptr);
    writer->setParent(controller);
    keepJournal(writer.data(), controller);
    host->setBufferProcessor(controller);
    if (pool == Pool::Allocated && megabytes != recordingBufferMB)
        warnLater(controller, QObject::tr("recording_buffer_MB %1 is out of range, using %2")
                                  .arg(recordingBufferMB)
                                  .arg(megabytes));
    controller->scanDrivers();
    controller->scanSamplingRate();
    return controller;
}

std::shared_ptr<CtrlSplitSizeAdjuster> createSplitAdjuster(AsioController* controller)
{
    return std::make_shared<CtrlSplitSizeAdjuster>(controller);
}

void recoverJournaledFiles(AsioController* controller)
{
    RecordingJournal journal(RecordingJournal::defaultPath());
    if (anotherRecorderRuns(QFileInfo(journal.path()).absoluteDir())) {
        warnLater(controller, QObject::tr("another recorder is running: files left open by a "
                                          "crash are repaired at a later start"));
        return;
    }
    for (const QString& name : journal.entries()) {
        const AudioFileRepair::Result result = AudioFileRepair::repair(name);
        const QString message = AudioFileRepair::describe(name, result);
        const bool failed = result.outcome == AudioFileRepair::Outcome::Refused;
        QTimer::singleShot(0, controller, [controller, message, failed]() {
            if (failed)
                controller->appendError(message, Qt::red);
            else
                controller->appendInfo(message, Qt::black);
        });
    }
    journal.clear();
}

Assembly assemble(Pool pool)
{
    Assembly core;
    core.input.load(AppIdentity::organisation(), AppIdentity::application(), true);
    core.controller = createController(core.input.recording_buffer_MB, pool);
    core.adjuster = createSplitAdjuster(core.controller);
    if (core.input.input_pair < 1) {
        warnLater(core.controller, QObject::tr("input_pair %1 names no pair of inputs (1 for "
                                               "inputs 1–2, 2 for 3–4, ...), using 1")
                                       .arg(core.input.input_pair));
        core.input.input_pair = 1;
    }
    core.controller->setInputPair(core.input.input_pair);
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
    input.input_pair = controller->requestedInputPair();
    input.save(org, app, true);
}

} // namespace RecorderCore
