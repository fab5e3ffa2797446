// The start-up core over real INI files: input settings, the auto-split policy and its file
// systems, the initializer's choice of driver and its start over real drivers.
#include "appidentity.h"
#include "asiocontroller.h"
#include "asiodrivers.h"
#include "asiohoststate.h"
#include "audiofilewriter.h"
#include "ctrlinitializer.h"
#include "ctrlsplitsizeadjuster.h"
#include "partitionmanager.h"
#include "recordercore.h"
#include "systeminitdata.h"
#include "testdriver.h"
#include "winfsinfo.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const QString kOrg = QString::fromLatin1(AppIdentity::kOrganisation);
const QString kApp = QString::fromLatin1(AppIdentity::kApplication);
const char* const kReadyDriver = "Halvik Ready Driver";
const char* const kBrokenDriver = "Halvik Broken Driver";
const char* const kLateDriver = "Halvik Late Driver"; // registered only once waited for

// A controller with a pool and a writer of its own (room for a real driver's buffers), over the
// registered drivers, none of them scanned yet.
struct Controller : AsioController
{
    explicit Controller(const QSharedPointer<PartitionManager>& pool =
                            QSharedPointer<PartitionManager>(new PartitionManager(64 * 65536)))
        : AsioController(AsioHostState::instance(), QSharedPointer<AsioDrivers>(new AsioDrivers),
                         pool, QSharedPointer<AudioFileWriter>(new AudioFileWriter(pool)), nullptr)
    {}
};

// Collects what the controller logs as "<type>: <message>".
void collectLog(AsioController* controller, QStringList* into)
{
    QObject::connect(controller,
                     qOverload<QString, QString, QString, QColor, QColor>(&AsioController::logMsg),
                     controller, [into](QString m, QString t) { *into << t + ": " + m; });
}

} // namespace

class TestAppCore : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;

    QString iniPath() const { return dir.filePath(kOrg + "/" + kApp + ".ini"); }
    void writeIni(const QByteArray& text)
    {
        QDir().mkpath(QFileInfo(iniPath()).path());
        QFile f(iniPath());
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(text) == text.size());
    }
    // The lines missing from the settings file.
    QStringList missingFromIni(QStringList lines) const
    {
        QFile f(iniPath());
        for (const QString& line :
             QString(f.open(QIODevice::ReadOnly) ? f.readAll() : "").split('\n'))
            lines.removeAll(line);
        return lines;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
        TestDriverScript script;
        script.driverName = kReadyDriver;
        TestDriver::registerDriver(kReadyDriver, script);
        script.driverName = kBrokenDriver;
        script.initSucceeds = false;
        TestDriver::registerDriver(kBrokenDriver, script);
    }
    void init() { QFile::remove(iniPath()); }

    void inputSettingsLoadAndSave_data()
    {
        QTest::addColumn<QByteArray>("ini");
        // device|rate|destination|pool MB|DSD type|ask|input pair (0: not a number)
        QTest::addColumn<QString>("loaded");
        QTest::addColumn<QStringList>("saved"); // lines of the file saved with no device
        QTest::newRow("first run")
            << QByteArray() << "|44100||256|dff|true|1" << QStringList{"sampling_rate=44100"};
        QTest::newRow("stored, rate and size unreadable")
            << QByteArray("[INPUT]\ndevice=Halvik One\nsampling_rate=not a rate\n"
                          "recording_buffer_MB=lots\ndefault_dsd_type=dsf\nsave_path=/rec/a.dsf\n"
                          "input_pair=3\n[General]\nask_when_halvik_device_plugged_in=false\n")
            << QString("Halvik One|0|/rec/a.dsf|256|dsf|false|3")
            << QStringList{"device=Halvik One", "sampling_rate=not a rate",
                           "ask_when_halvik_device_plugged_in=false"};
        // Rates are stored as six significant digits.
        QTest::newRow("DSD 4x") << QByteArray("[INPUT]\nsampling_rate=1.12896e+07\ninput_pair=two")
                                << "|11289600||256|dff|true|0"
                                << QStringList{"sampling_rate=1.12896e+07"};
    }
    void inputSettingsLoadAndSave()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QString, loaded);
        QFETCH(QStringList, saved);
        if (!ini.isEmpty())
            writeIni(ini);
        SystemInitData data;
        data.load(kOrg, kApp, true);
        QCOMPARE(
            QStringList({data.device, QString::number(data.sampling_rate, 'f', 0), data.save_path,
                         QString::number(data.recording_buffer_MB), data.default_dsd_type,
                         data.ask_when_halvik_device_plugged_in ? "true" : "false",
                         QString::number(data.input_pair)})
                .join('|'),
            loaded);
        data.device.clear();
        data.save_path = "/rec/b.dff";
        data.recording_buffer_MB = 512;
        data.input_pair = 2;
        data.save(kOrg, kApp, true);
        QCOMPARE(
            missingFromIni(saved + QStringList{"save_path=/rec/b.dff", "recording_buffer_MB=512",
                                               "input_pair=2",
                                               "default_dsd_type=" + loaded.section('|', 4, 4)}),
            QStringList());
    }

    void poolSizeIsClampedAndWarned()
    {
        const auto usable = RecorderCore::usablePoolMegabytes;
        QCOMPARE(QList<int>({usable(0), usable(-7), usable(4095), usable(4096)}),
                 QList<int>({1, 1, 4095, 4095}));
        QScopedPointer<AsioController> controller(RecorderCore::createController(0));
        QStringList log;
        collectLog(controller.data(), &log);
        QTRY_VERIFY2(log.contains("Warning: recording_buffer_MB 0 is out of range, using 1"),
                     qPrintable(log.join('\n')));
    }

    void splitPolicy_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("name"); // in the temporary directory
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("message");
        auto row = [](const char* tag, const QByteArray& ini, const char* name, qint64 size,
                      const QString& message) {
            QTest::newRow(tag) << ini << QString(name) << size << message;
        };
        const QByteArray stored =
            "[AUTO_SPLIT]\nthreshold\\wav=0\nthreshold\\fat32=-5\nthreshold\\ntfs=oops\n";
        const QString wav = "WAV detected -> ", fat32 = "NOT NTFS -> assume FAT32 -> ";
        const QString on = "enable auto file splitting at ~", off = "disable auto file splitting";
        row("wav", {}, "take.WAV", 2000000000, wav + on + "1.86 GB");
        row("no suffix, new folders", {}, "sub/dir/take", 4000000000LL, fat32 + on + "3.73 GB");
        row("wav 0", stored, "a.wav", 0, wav + off);
        row("fat32 -5", stored, "a.dsf", -5, fat32 + off);
        // Below a GB the limit reads in MB, not as 0.00 GB.
        row("wav 3 MB", "[AUTO_SPLIT]\nthreshold\\wav=3145728\n", "b.wav", 3145728,
            wav + on + "3.00 MB");
        row("wav 1 GB", "[AUTO_SPLIT]\nthreshold\\wav=1073741824\n", "c.wav", 1073741824,
            wav + on + "1.00 GB");
    }
    void splitPolicy()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QString, name);
        QFETCH(qint64, size);
        QFETCH(QString, message);
        writeIni(ini);
        QStringList infos;
        Controller controller;
        collectLog(&controller, &infos);
        CtrlSplitSizeAdjuster adjuster(&controller);
        adjuster.loadSettings(kOrg, kApp);
        adjuster.adjustSplitSize(dir.filePath(name));
        QCOMPARE(controller.autoSplitSize(), size);
        QCOMPARE(infos, QStringList{"Info: " + message});
    }

    void fileSystemNames()
    {
        QStringList names;
        for (const char* type : {"ntfs", "ntfs3", "fuseblk", "ext4", "vfat", "exfat", ""})
            names << WinFsInfo::nameOfMountType(type);
        QCOMPARE(names, QStringList({"NTFS", "NTFS", "NTFS", "ext4", "vfat", "exfat", ""}));
        // A destination whose folders do not exist yet lies on its nearest existing ancestor;
        // each path is looked up on its own mount (/proc is always a "proc" of its own).
        const QString here = WinFsInfo::fileSystemName(dir.path());
        QVERIFY2(!here.isEmpty() && here != "proc", qPrintable(here));
        QCOMPARE(QStringList({WinFsInfo::fileSystemName(dir.filePath("new/deeper/take.dsf")),
                              WinFsInfo::fileSystemName("/proc/self/status")}),
                 QStringList({here, "proc"}));
    }

    // The remembered device, matched with its case, else the first of our own, else the first.
    // The remembered device when listed; when it is away the vendor's first real driver, else
    // the device itself, waited for: never the simulated test tone unless chosen or nothing was
    // ever remembered.
    void initializerChoosesDriver()
    {
        Controller controller;
        const QString sim = "Halvik Simulated Device";
        const QStringList mixed{"Other Interface", "My HALVIK Box", "Halvik Second"};
        const struct
        {
            QStringList names;
            QString device, chosen;
        } rows[] = {{mixed, "Other Interface", "Other Interface"},
                    {mixed, "Gone Device", "My HALVIK Box"},
                    {mixed, "halvik second", "My HALVIK Box"}, // names are case-sensitive
                    {{"Alpha", "Beta"}, "Gamma", "Gamma"},
                    {{}, "Halvik", "Halvik"},
                    {{"Alpha", sim}, "Studio Card (ALSA)", "Studio Card (ALSA)"},
                    {{"Alpha", sim}, sim, sim},
                    {{"Alpha", sim}, "", sim},
                    {{"Alpha", "Beta"}, "", "Alpha"},
                    {{}, "", ""}};
        for (const auto& row : rows)
            QCOMPARE(CtrlInitializer::chooseDriver(row.names, row.device, &controller), row.chosen);
    }

    // Started while the remembered device is away: its CONFIG is neither replaced by defaults at
    // exit nor skipped when the device turns up later, and read then only once; the device waited
    // for, the last destination and the user's pool size are saved. A device present at start is
    // loaded at once.
    void initializerOverRealDrivers()
    {
        writeIni("[INPUT]\nrecording_buffer_MB=9000\n"
                 "[CONFIG]\nloopback_enabled=false\nauto_split_size=123456789\n"
                 "[AUTO_SPLIT]\nthreshold\\fat32=-5\nthreshold\\ntfs=oops\n");
        const auto state = [](AsioController& c) {
            return QString::asprintf("ready %d, reconnecting %d, split %lld, monitor %d",
                                     c.isDriverReady(), c.isReconnecting(), c.autoSplitSize(),
                                     c.isMonitorAsioEnabled());
        };
        // Where no driver was found, nothing is brought up nor waited for; a remembered device
        // that is not listed is waited for, and comes up once it is installed (plugged in).
        Controller none;
        CtrlInitializer(&none, kOrg, kApp).applyTo(QString());
        QCOMPARE(state(none), "ready 0, reconnecting 0, split 524288000, monitor 1");
        Controller late; // its list read before the device was installed
        AsioHostState::instance()->setBufferProcessor(&late);
        CtrlInitializer(&late, kOrg, kApp).applyTo(kLateDriver);
        QTest::qWait(1500);
        QCOMPARE(state(late) + " " + late.deviceName(),
                 "ready 0, reconnecting 1, split 524288000, monitor 1 " + QString(kLateDriver));
        TestDriverScript script;
        script.driverName = kLateDriver;
        TestDriver::registerDriver(kLateDriver, script);
        QTRY_VERIFY_WITH_TIMEOUT(late.isDriverReady(), 3000);
        QCOMPARE(state(late) + " " + late.driverNames().last(),
                 "ready 1, reconnecting 0, split 123456789, monitor 0 " + QString(kLateDriver));
        late.unloadCurrentDriver();
        Controller controller;
        AsioHostState::instance()->setBufferProcessor(&controller);
        controller.scanDrivers();
        CtrlInitializer(&controller, kOrg, kApp).applyTo(kBrokenDriver);
        QCOMPARE(state(controller), "ready 0, reconnecting 1, split 524288000, monitor 1");
        SystemInitData data;
        data.load(kOrg, kApp, true);
        CtrlSplitSizeAdjuster adjuster(&controller);
        adjuster.loadSettings(kOrg, kApp);
        RecorderCore::saveSettings(&controller, &adjuster, data, QStringLiteral("/rec/x.wav"));
        // The thresholds are saved with their comment, an unreadable one with its default.
        QCOMPARE(missingFromIni({"loopback_enabled=false", "device=Halvik Broken Driver",
                                 "save_path=/rec/x.wav", "recording_buffer_MB=9000",
                                 "threshold\\comments=\"values are in bytes, negative values = "
                                 "disable auto split\"",
                                 "threshold\\wav=2000000000", "threshold\\fat32=-5",
                                 "threshold\\ntfs=-1"}),
                 QStringList());

        TestDriverScript healed = TestDriver::script(kBrokenDriver);
        healed.initSucceeds = true;
        TestDriver::setScript(kBrokenDriver, healed);
        QTRY_VERIFY_WITH_TIMEOUT(controller.isDriverReady(), 3000);
        QCOMPARE(state(controller), "ready 1, reconnecting 0, split 123456789, monitor 0");
        healed.initSucceeds = false;
        TestDriver::setScript(kBrokenDriver, healed);
        // A later driver-ready keeps what the user set since.
        controller.setAutoSplitSize(7000000);
        controller.unloadCurrentDriver();
        QVERIFY(controller.initializeDriver(kReadyDriver, 44100));
        QCOMPARE(state(controller), "ready 1, reconnecting 0, split 7000000, monitor 0");
        controller.unloadCurrentDriver();

        CtrlInitializer(&controller, kOrg, kApp).applyTo(kReadyDriver);
        QCOMPARE(state(controller), "ready 1, reconnecting 0, split 123456789, monitor 0");
        QCOMPARE(controller.driverName() + " " + QString::number(controller.sampleRate()),
                 QString(kReadyDriver) + " 44100");
        controller.unloadCurrentDriver();
    }
};

QTEST_GUILESS_MAIN(TestAppCore)
#include "tst_appcore.moc"
