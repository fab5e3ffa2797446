// The start-up core over real INI files: input settings, the auto-split policy and its file
// systems, the initializer's choice of driver, and the assembly of the recorder.
#include "appidentity.h"
#include "asiocontroller.h"
#include "asiodrivers.h"
#include "asiohoststate.h"
#include "audiofilewriter.h"
#include "ctrlinitializer.h"
#include "ctrlsplitsizeadjuster.h"
#include "mediaprobe.h"
#include "partitionmanager.h"
#include "recordercore.h"
#include "systeminitdata.h"
#include "testdriver.h"
#include "winfsinfo.h"

#include <QProcess>
#include <QRegularExpression>
#include <cmath>
#include <QSettings>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const QString kOrg = QString::fromLatin1(AppIdentity::kOrganisation);
const QString kApp = QString::fromLatin1(AppIdentity::kApplication);
const char* const kReadyDriver = "Halvik Ready Driver";
const char* const kBrokenDriver = "Halvik Broken Driver";

// A controller whose driver list is given by the test and whose driver operations are
// recorded instead of performed, so every fallback rule can be run without a registry.
class ScriptedController : public AsioController
{
public:
    ScriptedController(const QSharedPointer<PartitionManager>& pool,
                       const QSharedPointer<AudioFileWriter>& writer)
        : AsioController(AsioHostState::instance(), QSharedPointer<AsioDrivers>(new AsioDrivers),
                         pool, writer, 1, nullptr)
    {
    }
    QStringList names;
    bool comesUpReady = true;
    bool ready = false;
    QStringList calls;

    QStringList driverNames() const override { return names; }
    bool initializeDriver(QString name, double rate) override
    {
        calls << QStringLiteral("init %1 %2").arg(name).arg(rate);
        ready = comesUpReady;
        return ready;
    }
    bool isDriverReady() const override { return ready; }
    void startReconnecting() override { calls << QStringLiteral("reconnect"); }
    void loadIni(QString org, QString app, bool userScope) override
    {
        calls << QStringLiteral("loadIni %1/%2 %3").arg(org, app).arg(userScope);
    }
};

// Counts the loads of a real controller while keeping their effect.
class CountingController : public AsioController
{
public:
    using AsioController::AsioController;
    int loads = 0;
    void loadIni(QString org, QString app, bool userScope) override
    {
        ++loads;
        AsioController::loadIni(org, app, userScope);
    }
};

// Collects the messages the controller logs, of one type or, with none given, of all types.
void collectLog(AsioController* controller, QStringList* into, const QString& type = QString())
{
    QObject::connect(controller,
                     qOverload<QString, QString, QString, QColor, QColor>(&AsioController::logMsg),
                     controller, [into, type](QString m, QString t, QString, QColor, QColor) {
                         if (type.isEmpty() || t == type)
                             *into << m;
                     });
}

// The split-size adjuster over the real file systems, applying to a scripted controller.
struct SplitRig
{
    SplitRig(const QSharedPointer<PartitionManager>& pool, const QSharedPointer<AudioFileWriter>& writer)
        : controller(pool, writer), adjuster(&fs, &controller)
    {
        collectLog(&controller, &infos);
    }
    QStringList infos;
    ScriptedController controller;
    WinFsInfo fs;
    CtrlSplitSizeAdjuster adjuster;
};

QString mountTypeOf(const QString& dir)
{
    QProcess p;
    p.start(QStringLiteral("findmnt"),
            {QStringLiteral("-n"), QStringLiteral("-o"), QStringLiteral("FSTYPE"),
             QStringLiteral("--target"), dir});
    p.waitForFinished();
    return QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
}
} // namespace

class TestAppCore : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    QSharedPointer<PartitionManager> pool{new PartitionManager(1 << 20)};
    QSharedPointer<AudioFileWriter> writer{new AudioFileWriter(pool)};
    // Room for a real driver's buffers, for the tests over real drivers.
    QSharedPointer<PartitionManager> realPool{new PartitionManager(64 * 65536)};
    QSharedPointer<AudioFileWriter> realWriter{new AudioFileWriter(realPool)};

    QString iniPath() const { return dir.filePath(kOrg + QStringLiteral("/") + kApp + ".ini"); }
    QString iniText() const
    {
        QFile f(iniPath());
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
    void writeIni(const QByteArray& text)
    {
        QDir().mkpath(QFileInfo(iniPath()).path());
        QFile f(iniPath());
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
        TestDriverScript ready;
        ready.driverName = kReadyDriver;
        TestDriverScript broken;
        broken.driverName = kBrokenDriver;
        broken.initSucceeds = false;
        TestDriver::registerDriver(kReadyDriver, ready);
        TestDriver::registerDriver(kBrokenDriver, broken);
    }
    void init() { QFile::remove(iniPath()); }

    void missingOrUnreadableFileGivesDefaults_data()
    {
        QTest::addColumn<bool>("unreadable");
        QTest::newRow("first run") << false;
        // A directory where the file should be cannot be read by anyone, root included.
        QTest::newRow("a folder in its place") << true;
    }
    void missingOrUnreadableFileGivesDefaults()
    {
        QFETCH(bool, unreadable);
        QVERIFY(!unreadable || QDir().mkpath(iniPath()));
        SystemInitData data;
        data.load(kOrg, kApp, true);
        QVERIFY(!unreadable || QDir().rmdir(iniPath()));
        QCOMPARE(data.device, QString());
        QCOMPARE(data.sampling_rate, 44100.0);
        QCOMPARE(data.save_path, QString());
        QCOMPARE(data.recording_buffer_MB, 256);
        QCOMPARE(data.default_dsd_type, QStringLiteral("dff"));
        QCOMPARE(data.ask_when_halvik_device_plugged_in, true);
        QCOMPARE(RecorderCore::usablePoolMegabytes(data.recording_buffer_MB) * 1048576LL,
                 268435456LL);
    }

    void ratesRoundTripAsSixDigitText_data()
    {
        QTest::addColumn<double>("rate");
        QTest::addColumn<QString>("text");
        QTest::newRow("44100") << 44100.0 << "44100";
        QTest::newRow("352800") << 352800.0 << "352800";
        QTest::newRow("DSD64") << 2822400.0 << "2.8224e+06";
        QTest::newRow("DSD128") << 5644800.0 << "5.6448e+06";
        QTest::newRow("DSD256") << 11289600.0 << "1.12896e+07";
    }
    void ratesRoundTripAsSixDigitText()
    {
        QFETCH(double, rate);
        QFETCH(QString, text);
        writeIni("[INPUT]\nsampling_rate=" + text.toLatin1() + "\n");
        SystemInitData data;
        data.load(kOrg, kApp, true);
        QCOMPARE(data.sampling_rate, rate);
        data.save(kOrg, kApp, true);
        QVERIFY2(iniText().contains("sampling_rate=" + text + "\n"), qPrintable(iniText()));
    }

    void emptyDeviceAndZeroRateKeepStoredKeys()
    {
        writeIni("[INPUT]\ndevice=Halvik One\nsampling_rate=not a rate\n"
                 "recording_buffer_MB=lots\ndefault_dsd_type=dsf\nsave_path=/rec/a.dsf\n"
                 "[General]\nask_when_halvik_device_plugged_in=false\n");
        SystemInitData data;
        data.load(kOrg, kApp, true);
        QCOMPARE(data.device, QStringLiteral("Halvik One"));
        QCOMPARE(data.sampling_rate, 0.0);
        QCOMPARE(data.recording_buffer_MB, 256);  // wrong type: the default, not 0
        QCOMPARE(data.default_dsd_type, QStringLiteral("dsf"));
        QCOMPARE(data.save_path, QStringLiteral("/rec/a.dsf"));
        QCOMPARE(data.ask_when_halvik_device_plugged_in, false);

        data.device.clear();
        data.save_path = QStringLiteral("/rec/b.dff");
        data.recording_buffer_MB = 512;
        data.save(kOrg, kApp, true);
        const QString text = iniText();
        QVERIFY2(text.contains("device=Halvik One\n"), qPrintable(text));
        QVERIFY(text.contains("sampling_rate=not a rate\n"));
        QVERIFY(text.contains("save_path=/rec/b.dff\n"));
        QVERIFY(text.contains("recording_buffer_MB=512\n"));
        QVERIFY(text.contains("ask_when_halvik_device_plugged_in=false\n"));
    }

    void poolSizeIsLimitedAndWarned()
    {
        QCOMPARE(RecorderCore::usablePoolMegabytes(0), 1);
        QCOMPARE(RecorderCore::usablePoolMegabytes(-7), 1);
        QCOMPARE(RecorderCore::usablePoolMegabytes(4095), 4095);
        QCOMPARE(RecorderCore::usablePoolMegabytes(4096), 4095);
        QVERIFY(quint64(RecorderCore::usablePoolMegabytes(1 << 30)) * 1048576 <= 0xffffffffu);

        AsioController* controller = RecorderCore::createController(0);
        QStringList warnings;
        collectLog(controller, &warnings, QStringLiteral("Warning"));
        QTRY_VERIFY(!warnings.isEmpty());
        QCOMPARE(warnings.first(), QStringLiteral("recording_buffer_MB 0 is out of range, using 1"));
        // The assembled core found the built-in device and probed rates without a driver.
        QVERIFY(controller->driverNames().contains(QStringLiteral("Halvik Simulated Device")));
        QVERIFY(!controller->isDriverReady());
        delete controller;
    }

    void splitPolicyPerDestination_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("message");
        QTest::newRow("wav") << "take.WAV" << qint64(2000000000)
                             << "WAV detected -> enable auto file splitting at ~1.86 GB";
        QTest::newRow("dff") << "take.dff" << qint64(4000000000LL)
                             << "NOT NTFS -> assume FAT32 -> enable auto file splitting at ~3.73 GB";
        QTest::newRow("no suffix") << "sub/dir/take" << qint64(4000000000LL)
                                   << "NOT NTFS -> assume FAT32 -> enable auto file splitting at ~3.73 GB";
    }
    void splitPolicyPerDestination()
    {
        QFETCH(QString, name);
        QFETCH(qint64, size);
        QFETCH(QString, message);
        if (WinFsInfo::fileSystemName(dir.path()) == QLatin1String("NTFS"))
            QSKIP("the temporary directory lies on NTFS");
        SplitRig rig(pool, writer);
        rig.adjuster.adjustSplitSize(dir.filePath(name));
        QCOMPARE(rig.controller.autoSplitSize(), size);
        QVERIFY2(rig.infos.contains(message), qPrintable(rig.infos.join('\n')));
    }

    void ntfsDestinationDisablesSplitting()
    {
        QString ntfsRoot;
        for (const QStorageInfo& volume : QStorageInfo::mountedVolumes())
            if (WinFsInfo::nameOfMountType(QString::fromLatin1(volume.fileSystemType())) == "NTFS")
                ntfsRoot = volume.rootPath();
        if (ntfsRoot.isEmpty())
            QSKIP("no NTFS volume is mounted on this machine");
        SplitRig rig(pool, writer);
        rig.adjuster.adjustSplitSize(ntfsRoot + QStringLiteral("/rec/take.dsf"));
        QCOMPARE(rig.controller.autoSplitSize(), qint64(-1));
        QVERIFY(rig.infos.contains(QStringLiteral("NTFS detected -> disable auto file splitting")));
    }

    void thresholdsOfZeroAndBelowDisable()
    {
        writeIni("[AUTO_SPLIT]\nthreshold\\wav=0\nthreshold\\fat32=-5\nthreshold\\ntfs=oops\n");
        SplitRig rig(pool, writer);
        rig.adjuster.loadSettings(kOrg, kApp);
        rig.adjuster.adjustSplitSize(dir.filePath("a.wav"));
        QCOMPARE(rig.controller.autoSplitSize(), qint64(0));
        QVERIFY(rig.infos.contains(QStringLiteral("WAV detected -> disable auto file splitting")));
        rig.adjuster.adjustSplitSize(dir.filePath("a.dsf"));
        QCOMPARE(rig.controller.autoSplitSize(), qint64(-5));
        QVERIFY(rig.infos.contains(QStringLiteral("NOT NTFS -> assume FAT32 -> disable auto file splitting")));
        // The unreadable ntfs value kept its default, and is saved as such.
        rig.adjuster.saveSettings(kOrg, kApp);
        QVERIFY(iniText().contains("threshold\\ntfs=-1\n"));
    }

    void savedAutoSplitGroupHoldsCommentAndDefaults()
    {
        SplitRig(pool, writer).adjuster.saveSettings(kOrg, kApp);
        const QString text = iniText();
        QVERIFY2(text.contains("[AUTO_SPLIT]\n"), qPrintable(text));
        QVERIFY(text.contains(
            "threshold\\comments=\"values are in bytes, negative values = disable auto split\"\n"));
        QVERIFY(text.contains("threshold\\wav=2000000000\n"));
        QVERIFY(text.contains("threshold\\fat32=4000000000\n"));
        QVERIFY(text.contains("threshold\\ntfs=-1\n"));
        QSettings s(QSettings::IniFormat, QSettings::UserScope, kOrg, kApp);
        QCOMPARE(s.value("AUTO_SPLIT/threshold/comments").toString(),
                 QStringLiteral("values are in bytes, negative values = disable auto split"));
    }

    void initializerChoosesDriver_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("chosen");
        const QStringList mixed{"Other Interface", "My HALVIK Box", "Halvik Second"};
        QTest::newRow("remembered") << mixed << "Halvik Second" << "Halvik Second";
        QTest::newRow("remembered foreign") << mixed << "Other Interface" << "Other Interface";
        QTest::newRow("first supported") << mixed << "Gone Device" << "My HALVIK Box";
        QTest::newRow("case differs") << mixed << "halvik second" << "My HALVIK Box";
        QTest::newRow("no vendor") << QStringList{"Alpha", "Beta"} << "Gamma" << "Alpha";
        QTest::newRow("empty device") << QStringList{"Alpha", "Beta"} << "" << "Alpha";
    }
    void initializerChoosesDriver()
    {
        QFETCH(QStringList, names);
        QFETCH(QString, device);
        QFETCH(QString, chosen);
        ScriptedController controller(pool, writer);
        controller.names = names;
        CtrlInitializer(&controller, kOrg, kApp).applyTo(device);
        QCOMPARE(controller.calls,
                 QStringList({"init " + chosen + " 44100", "loadIni " + kOrg + "/" + kApp + " 1"}));
    }

    void initializerWithoutDriversOrReadiness()
    {
        ScriptedController none(pool, writer);
        CtrlInitializer(&none, kOrg, kApp).applyTo(QStringLiteral("Halvik"));
        QCOMPARE(none.calls, QStringList());

        ScriptedController failing(pool, writer);
        failing.names = QStringList{"Halvik X"};
        failing.comesUpReady = false;
        CtrlInitializer(&failing, kOrg, kApp).applyTo(QStringLiteral("Halvik X"));
        QCOMPARE(failing.calls, QStringList({"init Halvik X 44100", "reconnect"}));
    }

    void savingAtExitRefreshesInput()
    {
        writeIni("[INPUT]\ndevice=Halvik Earlier\nsampling_rate=96000\nrecording_buffer_MB=9000\n");
        SystemInitData data;
        data.load(kOrg, kApp, true);
        // No driver was ever loaded in this process yet: the stored device stays.
        ScriptedController controller(pool, writer);
        WinFsInfo fs;
        CtrlSplitSizeAdjuster adjuster(&fs, &controller);
        RecorderCore::saveSettings(&controller, &adjuster, data, QStringLiteral("/rec/x.wav"));
        const QString text = iniText();
        QVERIFY2(text.contains("device=Halvik Earlier\n"), qPrintable(text));
        QVERIFY(text.contains("sampling_rate=96000\n"));
        QVERIFY(text.contains("save_path=/rec/x.wav\n"));
        QVERIFY(text.contains("recording_buffer_MB=9000\n"));  // the user's value stays
        QVERIFY(text.contains("[AUTO_SPLIT]\n"));
        // CONFIG was never read in this run, so it is not written either.
        QVERIFY(!text.contains("[CONFIG]"));
    }

    // The same rules over a real controller and real drivers.
    void initializerOverRealDrivers()
    {
        {
            QSettings s(QSettings::IniFormat, QSettings::UserScope, kOrg, kApp);
            s.setValue("CONFIG/monitoring", true);
        }
        CountingController controller(AsioHostState::instance(),
                                      QSharedPointer<AsioDrivers>(new AsioDrivers), realPool,
                                      realWriter, 4, nullptr);
        AsioHostState::instance()->setBufferProcessor(&controller);
        controller.scanDrivers();
        QVERIFY(controller.driverNames().contains(kReadyDriver));

        CtrlInitializer(&controller, kOrg, kApp).applyTo(kReadyDriver);
        QVERIFY(controller.isDriverReady());
        QCOMPARE(controller.driverName(), QString::fromLatin1(kReadyDriver));
        QCOMPARE(controller.sampleRate(), 44100.0);
        QCOMPARE(controller.loads, 1);
        QVERIFY(!controller.isReconnecting());
        controller.unloadCurrentDriver();

        CtrlInitializer(&controller, kOrg, kApp).applyTo(kBrokenDriver);
        QVERIFY(!controller.isDriverReady());
        QVERIFY(controller.isReconnecting());
        QCOMPARE(controller.loads, 1);
        controller.stopReconnecting();
    }

    // Started while the device is away: the stored CONFIG is neither replaced by defaults at
    // exit nor skipped when the device turns up later; the device waited for is remembered.
    void configReadAfterLateReconnection()
    {
        writeIni("[CONFIG]\nloopback_enabled=false\nauto_split_size=123456789\n");
        CountingController controller(AsioHostState::instance(),
                                      QSharedPointer<AsioDrivers>(new AsioDrivers), realPool,
                                      realWriter, 4, nullptr);
        AsioHostState::instance()->setBufferProcessor(&controller);
        controller.scanDrivers();
        CtrlInitializer(&controller, kOrg, kApp).applyTo(kBrokenDriver);
        QVERIFY(controller.isReconnecting());
        QCOMPARE(controller.loads, 0);
        QVERIFY(controller.isMonitorAsioEnabled());

        SystemInitData data;
        WinFsInfo fs;
        CtrlSplitSizeAdjuster adjuster(&fs, &controller);
        RecorderCore::saveSettings(&controller, &adjuster, data, QString());
        QVERIFY2(iniText().contains("loopback_enabled=false\n"), qPrintable(iniText()));
        QVERIFY(iniText().contains("device=Halvik Broken Driver\n"));

        TestDriverScript healed = TestDriver::script(kBrokenDriver);
        healed.initSucceeds = true;
        TestDriver::setScript(kBrokenDriver, healed);
        QTRY_VERIFY_WITH_TIMEOUT(controller.isDriverReady(), 3000);
        QCOMPARE(controller.loads, 1);
        QVERIFY(!controller.isMonitorAsioEnabled());
        QCOMPARE(controller.autoSplitSize(), 123456789LL);
        healed.initSucceeds = false;
        TestDriver::setScript(kBrokenDriver, healed);
        controller.unloadCurrentDriver();
    }

    void fileSystemOfRealMounts()
    {
        const QString expected = mountTypeOf(dir.path());
        if (expected.isEmpty())
            QSKIP("findmnt is not available");
        QCOMPARE(WinFsInfo::fileSystemName(dir.filePath("take.dsf")),
                 WinFsInfo::nameOfMountType(expected));
        // A destination whose folders do not exist yet lies on its nearest existing ancestor.
        QCOMPARE(WinFsInfo::fileSystemName(dir.filePath("new/deeper/take.dsf")),
                 WinFsInfo::nameOfMountType(expected));
        const QString procType = mountTypeOf(QStringLiteral("/proc"));
        QCOMPARE(WinFsInfo::fileSystemName(QStringLiteral("/proc/self/status")), procType);
        QVERIFY(procType != expected || procType.isEmpty());
    }

    void mountTypesMapToNtfs()
    {
        for (const char* type : {"ntfs", "ntfs3", "fuseblk"})
            QCOMPARE(WinFsInfo::nameOfMountType(type), QStringLiteral("NTFS"));
        for (const char* type : {"ext4", "vfat", "exfat", ""})
            QCOMPARE(WinFsInfo::nameOfMountType(type), QString::fromLatin1(type));
    }

    // The real program, driven through its window by the preloaded window driver.
    void recordsThroughTheWindowAndQuits()
    {
        QTemporaryDir config;
        const QString take = QDir(config.path()).filePath("take.wav");
        QProcess recorder;
        QProcessEnvironment env = programEnvironment(config.path());
        env.insert("LD_PRELOAD", TESSARO_WINDOW_DRIVER_PATH);
        env.insert("TESSARO_DRIVE_DESTINATION", take);
        env.insert("TESSARO_DRIVE_RECORD_MS", "3000");
        recorder.setProcessEnvironment(env);
        recorder.start(programPath(), QStringList());
        QVERIFY(recorder.waitForStarted());
        QVERIFY(recorder.waitForFinished(60000));
        const QString errors = QString::fromLocal8Bit(recorder.readAllStandardError());
        QCOMPARE(recorder.exitStatus(), QProcess::NormalExit);
        QVERIFY2(recorder.exitCode() == 0, qPrintable(errors));
        QVERIFY2(errors.contains("window driver: clicked close"), qPrintable(errors));

        const MediaInfo info = MediaProbe::probe(take);
        QCOMPARE(info.channels, 2);
        QCOMPARE(info.sampleRate, 44100);
        QVERIFY2(info.duration > 2.0 && info.duration < 4.5, qPrintable(QString::number(info.duration)));
        const QVector<QVector<float>> channels = MediaProbe::decode(take);
        QCOMPARE(channels.size(), 2);
        QCOMPARE(qRound(MediaProbe::dominantFrequency(channels[0], 44100)), 1000);
        QCOMPARE(qRound(MediaProbe::dominantFrequency(channels[1], 44100)), 1500);

        const QString ini = savedSettings(config.path());
        QVERIFY2(ini.contains("[INPUT]\n"), qPrintable(ini));
        QVERIFY(ini.contains("[AUTO_SPLIT]\n"));
        QVERIFY(ini.contains("[CONFIG]\n"));
        QVERIFY(ini.contains("device=Halvik Simulated Device\n"));
        // Closed normally: nothing is left for the next start to repair.
        QFile journal(QDir(config.path()).filePath("Veloran/open-recordings"));
        QVERIFY(journal.open(QIODevice::ReadOnly));
        QCOMPARE(journal.readAll(), QByteArray());
    }

    // The tone set 20 dB lower and a burst in the right input during the recording, both
    // through the environment, as the window's meters show them just before the stop.
    void programMetersShowLevelAndClip()
    {
        QTemporaryDir config;
        QProcess recorder;
        QProcessEnvironment env = programEnvironment(config.path());
        env.insert("LD_PRELOAD", TESSARO_WINDOW_DRIVER_PATH);
        env.insert("TESSARO_DRIVE_DESTINATION", QDir(config.path()).filePath("take.wav"));
        env.insert("TESSARO_DRIVE_RECORD_MS", "4000");
        env.insert("TESSARO_SIMULATED_TONE_DB", "-26.02");
        env.insert("TESSARO_SIMULATED_BURST", "1@2.5");
        recorder.setProcessEnvironment(env);
        recorder.start(programPath(), QStringList());
        QVERIFY(recorder.waitForStarted());
        QVERIFY(recorder.waitForFinished(60000));
        const QString errors = QString::fromLocal8Bit(recorder.readAllStandardError());
        const QRegularExpression line("window driver: meters left: (\\S+) dBFS; right: (\\S+) dBFS(, clipped)?;");
        const QRegularExpressionMatch m = line.match(errors);
        QVERIFY2(m.hasMatch(), qPrintable(errors));
        QVERIFY2(std::abs(m.captured(1).toDouble() + 26.0) <= 0.5, qPrintable(m.captured(0)));
        QVERIFY2(std::abs(m.captured(2).toDouble() + 26.0) <= 0.5, qPrintable(m.captured(0)));
        QVERIFY2(!m.captured(3).isEmpty(), qPrintable(m.captured(0)));
    }

    // The real program, ended as a terminal's Ctrl+C or a logout ends it: the closing phase
    // still runs and stores the three groups.
    void programSavesSettingsWhenTerminated()
    {
        QTemporaryDir config;
        QProcess recorder;
        recorder.setProcessEnvironment(programEnvironment(config.path()));
        recorder.start(programPath(), QStringList());
        QVERIFY(recorder.waitForStarted());
        QTest::qWait(1500);
        QCOMPARE(recorder.state(), QProcess::Running);
        recorder.terminate();
        QVERIFY(recorder.waitForFinished(10000));
        QCOMPARE(recorder.exitStatus(), QProcess::NormalExit);
        QCOMPARE(recorder.exitCode(), 0);
        const QString text = savedSettings(config.path());
        QVERIFY2(text.contains("device=Halvik Simulated Device\n"), qPrintable(text));
        QVERIFY(text.contains("sampling_rate=44100\n"));
        QVERIFY(text.contains("[AUTO_SPLIT]\n"));
        QVERIFY(text.contains("[CONFIG]\n"));
    }

private:
    static QString programPath()
    {
        const QString program = qEnvironmentVariable("TESSARO_BIN_DIR") + "/tessaro-recorder";
        if (!QFileInfo(program).isExecutable())
            qWarning("the program is not at %s: run this test through ctest", qPrintable(program));
        return program;
    }

    static QProcessEnvironment programEnvironment(const QString& configDir)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", configDir);
        env.insert("XDG_STATE_HOME", configDir);
        env.insert("QT_QPA_PLATFORM", "offscreen");
        // A sanitized build must accept a preloaded library ahead of its runtime.
        env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
        return env;
    }

    static QString savedSettings(const QString& configDir)
    {
        QFile ini(QDir(configDir).filePath(kOrg + "/" + kApp + ".ini"));
        return ini.open(QIODevice::ReadOnly) ? QString::fromUtf8(ini.readAll()) : QString();
    }
};

QTEST_GUILESS_MAIN(TestAppCore)
#include "tst_appcore.moc"
