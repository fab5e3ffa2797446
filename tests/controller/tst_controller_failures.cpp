// Destinations that refuse the recording, through the core built as start-up builds it on the
// simulated device: a real file system that fills up, and names the writer cannot open. Each
// gives one error, stops the recording, frees the pool and leaves a file that standard tools
// read, its header counting exactly the whole frames on disk.
#include "asiocontroller.h"
#include "asiodrivers.h"
#include "asiohoststate.h"
#include "audiofilewriter.h"
#include "mediaprobe.h"
#include "partitionmanager.h"
#include "simulateddriver.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>
#include <unistd.h>

namespace {

const QString kDevice = QString::fromLatin1(SimulatedDriver::kDescription);

// An 8 MiB file system of its own, mounted for as long as the object lives.
struct SmallDisk
{
    QTemporaryDir mountPoint;
    bool mounted = false;
    SmallDisk()
    {
        mounted = QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=8m", "tmpfs",
                                              mountPoint.path()}) == 0;
    }
    ~SmallDisk()
    {
        if (mounted)
            QProcess::execute("umount", {mountPoint.path()});
    }
};

// The sample bytes the header says follow it, read where the format documents put the
// fields; every other size field of the header must agree with it and with the file's length.
qint64 countedDataBytes(const QByteArray& f, const QString& suffix)
{
    const auto size = quint64(f.size());
    if (suffix == "dsf") {
        const quint64 data = qFromLittleEndian<quint64>(f.constData() + 84) - 12;
        const bool consistent = qFromLittleEndian<quint64>(f.constData() + 12) == size
                                && qFromLittleEndian<quint64>(f.constData() + 64) == data / 2 * 8;
        return consistent && data % 8192 == 0 ? qint64(data) : -1;
    }
    if (suffix == "dff") {
        const quint64 data = qFromBigEndian<quint64>(f.constData() + 122);
        const bool consistent = qFromBigEndian<quint64>(f.constData() + 4) == size - 12;
        return consistent && data % 2 == 0 ? qint64(data) : -1;
    }
    const quint32 data = qFromLittleEndian<quint32>(f.constData() + 40);
    const bool consistent = qFromLittleEndian<quint32>(f.constData() + 4) == data + 36;
    return consistent && data % 8 == 0 ? qint64(data) : -1;
}

} // namespace

class TestControllerFailures : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    AsioController* controller = nullptr;
    QSharedPointer<PartitionManager> pool;
    QStringList errors;

private slots:
    void initTestCase()
    {
        registerSimulatedDriver();
        AsioHostState* host = AsioHostState::instance();
        pool.reset(new PartitionManager(64u << 20));
        QSharedPointer<AudioFileWriter> writer(new AudioFileWriter(pool));
        controller = new AsioController(host, QSharedPointer<AsioDrivers>(new AsioDrivers), pool,
                                        writer, 64, this);
        writer->setParent(controller);
        host->setBufferProcessor(controller);
        connect(controller,
                qOverload<QString, QString, QString, QColor, QColor>(&AsioController::logMsg),
                this, [this](QString msg, QString type) {
                    if (type == "Error")
                        errors << msg;
                });
        controller->scanDrivers();
        SimulatedDriver::setSignal(SimulatedDriver::Signal::Tone);
    }

    void cleanupTestCase() { controller->unloadCurrentDriver(); }

    void refusedDestinationStopsTheRecordingOnce_data()
    {
        QTest::addColumn<double>("rate");
        QTest::addColumn<bool>("onSmallDisk");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("reason");
        QTest::newRow("full disk, DSD 4x to dsf") << 11289600.0 << true << "full.dsf" << "No space left on device";
        QTest::newRow("full disk, DSD 4x to dff") << 11289600.0 << true << "full.dff" << "No space left on device";
        QTest::newRow("full disk, 384 kHz to wav") << 384000.0 << true << "full.wav" << "No space left on device";
        QTest::newRow("missing folder") << 2822400.0 << false << "gone/take.dsf" << "No such file or directory";
        QTest::newRow("name of a folder") << 192000.0 << false << "folder.wav" << "Is a directory";
    }

    void refusedDestinationStopsTheRecordingOnce()
    {
        QFETCH(double, rate);
        QFETCH(bool, onSmallDisk);
        QFETCH(QString, name);
        QFETCH(QString, reason);
        if (onSmallDisk && geteuid() != 0)
            QSKIP("mounting the small file system needs root");
        SmallDisk disk;
        if (onSmallDisk && !disk.mounted)
            QSKIP("mount -t tmpfs failed");
        const QString folder = onSmallDisk ? disk.mountPoint.path() : dir.path();
        QDir(dir.path()).mkpath("folder.wav");
        const QString file = QDir(folder).absoluteFilePath(name);
        QVERIFY(controller->initializeDriver(kDevice, rate));
        errors.clear();
        controller->setFileName(file);
        QVERIFY(controller->startRecording(true));
        QVERIFY(QTest::qWaitFor([&] { return !controller->isRecording(); }, 20000));
        QVERIFY(QTest::qWaitFor([&] { return controller->isIdle(); }, 10000));
        QCOMPARE(pool->usedCount(), 0);
        QTest::qWait(300);  // nothing more may follow
        qInfo("%s", qPrintable(errors.join('\n')));
        QCOMPARE(errors.size(), 1);
        QVERIFY2(errors[0].contains(QDir::toNativeSeparators(file) + ": " + reason), qPrintable(errors[0]));
        QCOMPARE(controller->failureText(), reason);

        if (onSmallDisk) {
            QFile f(file);
            QVERIFY(f.open(QIODevice::ReadOnly));
            const QByteArray bytes = f.readAll();
            QVERIFY2(bytes.size() > 7 << 20, qPrintable(QString::number(bytes.size())));
            const QString suffix = QFileInfo(file).suffix();
            const int header = suffix == "dsf" ? 92 : suffix == "dff" ? 130 : 44;
            QCOMPARE(countedDataBytes(bytes, suffix), qint64(bytes.size() - header));
            const MediaInfo info = MediaProbe::probe(file);
            QVERIFY(info.ok);
            const bool dsd = suffix != "wav";
            const double seconds = (bytes.size() - header) / (dsd ? rate / 4 : rate * 8);
            QVERIFY2(std::abs(info.duration - seconds) < 0.01, qPrintable(QString::number(info.duration)));
            const auto decoded = MediaProbe::decode(file, dsd ? 88200 : 0);
            QCOMPARE(decoded.size(), 2);
            QCOMPARE(MediaProbe::dominantFrequency(decoded[0], dsd ? 88200 : int(rate)), SimulatedDriver::kToneHz[0]);
            QCOMPARE(MediaProbe::dominantFrequency(decoded[1], dsd ? 88200 : int(rate)), SimulatedDriver::kToneHz[1]);
        }

        // Ready for the next take, which clears the reason.
        controller->setFileName(QDir(dir.path()).absoluteFilePath(
            controller->isDsd() ? QStringLiteral("next.dsf") : QStringLiteral("next.wav")));
        QVERIFY(controller->startRecording(true));
        QVERIFY(controller->failureText().isEmpty());
        controller->stopRecording();
        QVERIFY(QTest::qWaitFor([&] { return controller->isIdle(); }, 10000));
    }
};

QTEST_GUILESS_MAIN(TestControllerFailures)
#include "tst_controller_failures.moc"
