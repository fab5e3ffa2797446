// The start-up core over real INI files: input settings, the auto-split policy and its file
// systems, the initializer's choice of driver over scripted and real drivers.
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

#include <QProcess>
#include <QSettings>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const QString kOrg = QString::fromLatin1(AppIdentity::kOrganisation);
const QString kApp = QString::fromLatin1(AppIdentity::kApplication);
const char* const kReadyDriver = "Halvik Ready Driver";
const char* const kBrokenDriver = "Halvik Broken Driver";

// Records the initializer's calls. Scripted, its driver list is given by the test and the driver
// operations are only recorded, so every fallback rule runs without a registry; otherwise the
// real operations follow.
class ProbeController : public AsioController
{
public:
    ProbeController(const QSharedPointer<PartitionManager>& pool,
                    const QSharedPointer<AudioFileWriter>& writer, bool scripted)
        : AsioController(AsioHostState::instance(), QSharedPointer<AsioDrivers>(new AsioDrivers),
                         pool, writer, 4, nullptr),
          scripted(scripted)
    {}
    const bool scripted;
    QStringList names;
    bool comesUpReady = true;
    bool ready = false;
    QStringList calls;
    int loads() const { return calls.filter("loadIni").size(); }

    QStringList driverNames() const override
    {
        return scripted ? names : AsioController::driverNames();
    }
    bool initializeDriver(QString name, double rate) override
    {
        calls << QStringLiteral("init %1 %2").arg(name).arg(rate);
        return scripted ? (ready = comesUpReady) : AsioController::initializeDriver(name, rate);
    }
    bool isDriverReady() const override
    {
        return scripted ? ready : AsioController::isDriverReady();
    }
    void startReconnecting() override
    {
        calls << QStringLiteral("reconnect");
        if (!scripted)
            AsioController::startReconnecting();
    }
    void loadIni(QString org, QString app, bool userScope) override
    {
        calls << QStringLiteral("loadIni %1/%2 %3").arg(org, app).arg(userScope);
        if (!scripted)
            AsioController::loadIni(org, app, userScope);
    }
};

// Collects what the controller logs as "<type>: <message>".
void collectLog(AsioController* controller, QStringList* into)
{
    QObject::connect(controller,
                     qOverload<QString, QString, QString, QColor, QColor>(&AsioController::logMsg),
                     controller, [into](QString m, QString t) { *into << t + ": " + m; });
}

void verifyLines(const QString& text, const QStringList& lines)
{
    const QStringList have = text.split('\n');
    for (const QString& line : lines)
        QVERIFY2(have.contains(line), qPrintable(line + " is missing from:\n" + text));
}

QString readText(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

QString mountTypeOf(const QString& dir)
{
    QProcess p;
    p.start(QStringLiteral("findmnt"), {"-n", "-o", "FSTYPE", "--target", dir});
    p.waitForFinished();
    return QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
}

QString ntfsRoot()
{
    for (const QStorageInfo& volume : QStorageInfo::mountedVolumes())
        if (WinFsInfo::nameOfMountType(QString::fromLatin1(volume.fileSystemType())) == "NTFS")
            return volume.rootPath();
    return QString();
}
} // namespace

class TestAppCore : public QObject
{
    Q_OBJECT
    QTemporaryDir dir;
    // Room for a real driver's buffers.
    QSharedPointer<PartitionManager> pool{new PartitionManager(64 * 65536)};
    QSharedPointer<AudioFileWriter> writer{new AudioFileWriter(pool)};

    QString iniPath() const { return dir.filePath(kOrg + "/" + kApp + ".ini"); }
    void writeIni(const QByteArray& text)
    {
        QDir().mkpath(QFileInfo(iniPath()).path());
        QFile f(iniPath());
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(text) == text.size());
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
        QTest::addColumn<QByteArray>("ini"); // "folder": a folder stands in the file's place
        QTest::addColumn<QStringList>("loaded");
        QTest::addColumn<QStringList>("saved"); // lines of the file saved with no device
        const QStringList defaults{"", "44100", "", "256", "dff", "true"};
        QTest::newRow("first run")
            << QByteArray() << defaults << QStringList{"sampling_rate=44100"};
        // A directory cannot be read as a file by anyone, root included.
        QTest::newRow("folder") << QByteArray("folder") << defaults
                                << QStringList{"sampling_rate=44100"};
        QTest::newRow("stored, rate and size unreadable")
            << QByteArray("[INPUT]\ndevice=Halvik One\nsampling_rate=not a "
                          "rate\nrecording_buffer_MB=lots\n"
                          "default_dsd_type=dsf\nsave_path=/rec/a.dsf\n"
                          "[General]\nask_when_halvik_device_plugged_in=false\n")
            << QStringList{"Halvik One", "0", "/rec/a.dsf", "256", "dsf", "false"}
            << QStringList{"device=Halvik One", "sampling_rate=not a rate",
                           "ask_when_halvik_device_plugged_in=false"};
        // Rates are stored as six significant digits.
        for (const char* text : {"352800", "2.8224e+06", "5.6448e+06", "1.12896e+07"}) {
            QStringList loaded = defaults;
            loaded[1] = QString::number(QByteArray(text).toDouble(), 'f', 0);
            QTest::newRow(text) << "[INPUT]\nsampling_rate=" + QByteArray(text) << loaded
                                << QStringList{"sampling_rate=" + QString(text)};
        }
    }
    void inputSettingsLoadAndSave()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QStringList, loaded);
        QFETCH(QStringList, saved);
        const bool folder = ini == "folder";
        if (folder)
            QVERIFY(QDir().mkpath(iniPath()));
        else if (!ini.isEmpty())
            writeIni(ini);
        SystemInitData data;
        data.load(kOrg, kApp, true);
        QVERIFY(!folder || QDir().rmdir(iniPath()));
        QCOMPARE(
            QStringList({data.device, QString::number(data.sampling_rate, 'f', 0), data.save_path,
                         QString::number(data.recording_buffer_MB), data.default_dsd_type,
                         data.ask_when_halvik_device_plugged_in ? "true" : "false"}),
            loaded);
        data.device.clear();
        data.save_path = "/rec/b.dff";
        data.recording_buffer_MB = 512;
        data.save(kOrg, kApp, true);
        verifyLines(readText(iniPath()),
                    saved + QStringList{"save_path=/rec/b.dff", "recording_buffer_MB=512",
                                        "default_dsd_type=" + loaded[4]});
    }

    void poolSizeIsClampedAndWarned()
    {
        QList<int> used;
        for (int asked : {0, -7, 4095, 4096})
            used << RecorderCore::usablePoolMegabytes(asked);
        QCOMPARE(used, QList<int>({1, 1, 4095, 4095}));
        QScopedPointer<AsioController> controller(RecorderCore::createController(0));
        QStringList log;
        collectLog(controller.data(), &log);
        QTRY_VERIFY2(log.contains("Warning: recording_buffer_MB 0 is out of range, using 1"),
                     qPrintable(log.join('\n')));
        // The assembled core found the built-in device and probed rates without a driver.
        QVERIFY(controller->driverNames().contains(QStringLiteral("Halvik Simulated Device")));
        QVERIFY(!controller->isDriverReady());
    }

    void splitPolicy_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("name"); // relative to the temporary directory
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
        row("dff", {}, "take.dff", 4000000000LL, fat32 + on + "3.73 GB");
        row("no suffix, new folders", {}, "sub/dir/take", 4000000000LL, fat32 + on + "3.73 GB");
        row("ntfs", {}, ":ntfs/rec/take.dsf", -1, "NTFS detected -> " + off);
        row("wav 0", stored, "a.wav", 0, wav + off);
        row("fat32 -5", stored, "a.dsf", -5, fat32 + off);
    }
    void splitPolicy()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QString, name);
        QFETCH(qint64, size);
        QFETCH(QString, message);
        QString path = dir.filePath(name);
        if (name.startsWith(":ntfs")) {
            if (ntfsRoot().isEmpty())
                QSKIP("no NTFS volume is mounted on this machine");
            path = ntfsRoot() + name.mid(5);
        } else if (WinFsInfo::fileSystemName(dir.path()) == QLatin1String("NTFS")) {
            QSKIP("the temporary directory lies on NTFS");
        }
        writeIni(ini);
        QStringList infos;
        ProbeController controller(pool, writer, true);
        collectLog(&controller, &infos);
        WinFsInfo fs;
        CtrlSplitSizeAdjuster adjuster(&fs, &controller);
        adjuster.loadSettings(kOrg, kApp);
        adjuster.adjustSplitSize(path);
        QCOMPARE(controller.autoSplitSize(), size);
        QCOMPARE(infos, QStringList{"Info: " + message});
        // Saved with its comment; an unreadable value keeps its default.
        adjuster.saveSettings(kOrg, kApp);
        QSettings s(QSettings::IniFormat, QSettings::UserScope, kOrg, kApp);
        s.beginGroup("AUTO_SPLIT/threshold");
        QCOMPARE(QStringList({s.value("comments").toString(), s.value("wav").toString(),
                              s.value("fat32").toString(), s.value("ntfs").toString()}),
                 QStringList({"values are in bytes, negative values = disable auto split",
                              ini.isEmpty() ? "2000000000" : "0",
                              ini.isEmpty() ? "4000000000" : "-5", "-1"}));
    }

    void fileSystemNames()
    {
        for (const char* type : {"ntfs", "ntfs3", "fuseblk"})
            QCOMPARE(WinFsInfo::nameOfMountType(type), QStringLiteral("NTFS"));
        for (const char* type : {"ext4", "vfat", "exfat", ""})
            QCOMPARE(WinFsInfo::nameOfMountType(type), QString::fromLatin1(type));
        const QString expected = mountTypeOf(dir.path());
        if (expected.isEmpty())
            QSKIP("findmnt is not available");
        // A destination whose folders do not exist yet lies on its nearest existing ancestor.
        for (const char* name : {"take.dsf", "new/deeper/take.dsf"})
            QCOMPARE(WinFsInfo::fileSystemName(dir.filePath(name)),
                     WinFsInfo::nameOfMountType(expected));
        const QString procType = mountTypeOf(QStringLiteral("/proc"));
        QCOMPARE(WinFsInfo::fileSystemName(QStringLiteral("/proc/self/status")), procType);
        QVERIFY(procType != expected || procType.isEmpty());
    }

    void initializerChoosesDriver_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QString>("device");
        QTest::addColumn<bool>("comesUp");
        QTest::addColumn<QStringList>("calls");
        const QStringList mixed{"Other Interface", "My HALVIK Box", "Halvik Second"};
        const QString load = "loadIni " + kOrg + "/" + kApp + " 1";
        auto row = [&](const char* tag, const QStringList& names, const char* device,
                       const QString& chosen) {
            QTest::newRow(tag) << names << device << true
                               << QStringList{"init " + chosen + " 44100", load};
        };
        row("remembered", mixed, "Halvik Second", "Halvik Second");
        row("remembered foreign", mixed, "Other Interface", "Other Interface");
        row("first supported", mixed, "Gone Device", "My HALVIK Box");
        row("case differs", mixed, "halvik second", "My HALVIK Box");
        row("no vendor", {"Alpha", "Beta"}, "Gamma", "Alpha");
        row("empty device", {"Alpha", "Beta"}, "", "Alpha");
        QTest::newRow("no drivers") << QStringList() << "Halvik" << true << QStringList();
        QTest::newRow("does not come up") << QStringList{"Halvik X"} << "Halvik X" << false
                                          << QStringList{"init Halvik X 44100", "reconnect"};
    }
    void initializerChoosesDriver()
    {
        QFETCH(QStringList, names);
        QFETCH(QString, device);
        QFETCH(bool, comesUp);
        QFETCH(QStringList, calls);
        ProbeController controller(pool, writer, true);
        controller.names = names;
        controller.comesUpReady = comesUp;
        CtrlInitializer(&controller, kOrg, kApp).applyTo(device);
        QCOMPARE(controller.calls, calls);
    }

    // Started while the remembered device is away: its CONFIG is neither replaced by defaults at
    // exit nor skipped when the device turns up later; the device waited for, the last
    // destination and the user's pool size are saved. A device present at start is loaded at once.
    void initializerOverRealDrivers()
    {
        writeIni("[INPUT]\nrecording_buffer_MB=9000\n"
                 "[CONFIG]\nloopback_enabled=false\nauto_split_size=123456789\n");
        ProbeController controller(pool, writer, false);
        AsioHostState::instance()->setBufferProcessor(&controller);
        controller.scanDrivers();
        CtrlInitializer(&controller, kOrg, kApp).applyTo(kBrokenDriver);
        QVERIFY(controller.isReconnecting());
        QCOMPARE(controller.loads(), 0);
        QVERIFY(controller.isMonitorAsioEnabled());
        SystemInitData data;
        data.load(kOrg, kApp, true);
        WinFsInfo fs;
        CtrlSplitSizeAdjuster adjuster(&fs, &controller);
        RecorderCore::saveSettings(&controller, &adjuster, data, QStringLiteral("/rec/x.wav"));
        verifyLines(readText(iniPath()), {"loopback_enabled=false", "device=Halvik Broken Driver",
                                          "save_path=/rec/x.wav", "recording_buffer_MB=9000"});

        TestDriverScript healed = TestDriver::script(kBrokenDriver);
        healed.initSucceeds = true;
        TestDriver::setScript(kBrokenDriver, healed);
        QTRY_VERIFY_WITH_TIMEOUT(controller.isDriverReady(), 3000);
        QCOMPARE(controller.loads(), 1);
        QVERIFY(!controller.isMonitorAsioEnabled());
        QCOMPARE(controller.autoSplitSize(), 123456789LL);
        healed.initSucceeds = false;
        TestDriver::setScript(kBrokenDriver, healed);
        controller.unloadCurrentDriver();

        CtrlInitializer(&controller, kOrg, kApp).applyTo(kReadyDriver);
        QVERIFY(controller.isDriverReady() && !controller.isReconnecting());
        QCOMPARE(controller.driverName(), QString::fromLatin1(kReadyDriver));
        QCOMPARE(controller.sampleRate(), 44100.0);
        QCOMPARE(controller.loads(), 2);
        controller.unloadCurrentDriver();
    }
};

QTEST_GUILESS_MAIN(TestAppCore)
#include "tst_appcore.moc"
