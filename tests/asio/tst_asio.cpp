// The host layer: the driver list over registry files written by the test, loading through the
// load list, the host operations without a driver, and the host state record with its set-up
// operations and callbacks against the scriptable test driver.
//
// The load list behind loadAsioDriver reads the registry once, so every driver a case loads is
// registered in initTestCase, before the first load: the built-in test drivers and a registry
// file with the module driver and two entries whose instantiation fails.
//
// Threads: the test thread; the processor is also called from the driver's threads.

#include "asiodrivers.h"
#include "asiohoststate.h"
#include "asioplatform.h"
#include "builtindrivers.h"
#include "simulateddriver.h"
#include "testdriver.h"

#include <QMutex>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>
#include <atomic>

namespace {

const QString kAlpha = "Halvik Test Alpha";
const QString kBeta = "Halvik Test Beta";
const QString kLongName = "Test Device Whose Name Has Forty Letters";
const QString kHost = "Halvik Host Test";
const QString kModule = "Halvik Module Driver";
const QString kBrokenModule = "Broken Module";
const QString kUnparsable = "Unparsable Clsid";
const QString kModulePath = QStringLiteral(TESSARO_TEST_MODULE_PATH);

QTemporaryDir* g_workDir = nullptr;
QString g_loadRegistry;
QStringList g_warnings;
QtMessageHandler g_previousHandler = nullptr;

QString workFile(const QString& name)
{
    return g_workDir->filePath(name);
}

// Built-in classes as registered, test drivers first; the list shows them before file entries.
QStringList builtinNames()
{
    return {kAlpha, kBeta, kLongName, kHost, SimulatedDriver::kDescription};
}

QStringList withBuiltins(const QStringList& fileNames)
{
    // Names of 32 characters and more come back as 28 characters and "...".
    return QStringList{kAlpha, kBeta, "Test Device Whose Name Has F...", kHost,
                       SimulatedDriver::kDescription} +
           fileNames;
}

void registerBuiltins(bool on)
{
    for (const QString& name : builtinNames().mid(0, 4)) {
        if (on)
            TestDriver::registerDriver(name);
        else
            TestDriver::unregisterDriver(name);
    }
    if (on)
        registerSimulatedDriver();
    else
        BuiltinDrivers::removeProvider(QStringLiteral("simulated"));
}

// Writes a registry file in the work directory and makes it the registry to read.
QString useRegistry(const QString& fileName, const QString& text)
{
    const QString path = workFile(fileName);
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(text.toUtf8());
    qputenv("TESSARO_ASIO_REGISTRY", QFile::encodeName(path));
    return path;
}

// A driver key with its class registered under a server file that exists.
QString registeredDriver(const QString& key, const QString& clsid, const QString& description)
{
    QString text = QStringLiteral("[HKLM\\software\\asio\\%1]\nclsid = %2\n").arg(key, clsid);
    if (!description.isNull())
        text += QStringLiteral("description = %1\n").arg(description);
    return text + QStringLiteral("[HKCR\\clsid\\%1\\InprocServer32]\n@ = %2\n")
                      .arg(clsid.toLower(), kModulePath);
}

QString clsidNumber(int n)
{
    return QStringLiteral("{00000000-0000-0000-0000-%1}").arg(n, 12, 10, QLatin1Char('0'));
}

void captureWarning(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (type == QtWarningMsg)
        g_warnings << text;
    if (g_previousHandler)
        g_previousHandler(type, context, text);
}

// Only for warnings issued on the test thread.
void startCapturingWarnings()
{
    g_warnings.clear();
    g_previousHandler = qInstallMessageHandler(captureWarning);
}

QStringList stopCapturingWarnings()
{
    qInstallMessageHandler(g_previousHandler);
    return g_warnings;
}

QStringList listedNames(const AsioDrivers& drivers, int size = 32)
{
    QStringList names;
    QByteArray buffer(size, '\0');
    for (int i = 0; i < drivers.entryCount(); ++i) {
        if (drivers.entryName(i, buffer.data(), size) == 0)
            names << QString::fromLatin1(buffer.constData());
    }
    return names;
}

int idOf(const AsioDrivers& drivers, const QString& name)
{
    return listedNames(drivers, 128).indexOf(name);
}

bool load(const QString& name)
{
    return loadAsioDriver(name.toLatin1().constData());
}

IASIO* liveDriver(const QString& name)
{
    return TestDriver::current(name);
}

struct ProcessCall
{
    unsigned char* data;
    long channel;
    ASIOSampleType type;
    long bufferSize;
    long half;
    QThread* thread;
};

class RecordingProcessor : public AudioBufferProcessor
{
public:
    void processBuffer(unsigned char* data, long channel, ASIOSampleType type, long bufferSize,
                       long half) override
    {
        QMutexLocker lock(&mutex);
        calls.append({data, channel, type, bufferSize, half, QThread::currentThread()});
    }
    void driverResetRequested() override { ++resets; }

    QMutex mutex;
    QVector<ProcessCall> calls;
    std::atomic<int> resets{0};
};

AsioHostState& host()
{
    return *AsioHostState::instance();
}

// Loads the host test driver with the script and brings it to created buffers.
TestDriver* bringUp(const TestDriverScript& script)
{
    TestDriver::setScript(kHost, script);
    if (!load(kHost) || ASIOInit(&host().driverInfo) != ASE_OK)
        return nullptr;
    host().installAsioCallbacks();
    if (initAsioStaticData(host()) != 0 || host().createAsioBuffers(host()) != ASE_OK)
        return nullptr;
    return TestDriver::current(kHost);
}

int countOf(const QString& driver, const QString& call)
{
    const QStringList calls = TestDriver::calls(driver);
    return int(std::count(calls.begin(), calls.end(), call));
}

} // namespace

class TestAsio : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        g_workDir = new QTemporaryDir;
        QVERIFY(g_workDir->isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(workFile("config")));
        qputenv("TESSARO_SIMULATED_UNPLUG_FILE", QFile::encodeName(workFile("unplug")));
        registerBuiltins(true);
        g_loadRegistry = useRegistry(
            "load-registry.ini",
            registeredDriver("module", "{9B1F3C2A-4D5E-4F60-8A7B-1C2D3E4F5A6B}", kModule) +
                "[HKLM\\software\\asio\\broken module]\nclsid = " + clsidNumber(7) +
                "\ndescription = " + kBrokenModule + "\n[HKCR\\clsid\\" + clsidNumber(7) +
                "\\InprocServer32]\n@ = " + workFile("load-registry.ini") + "\n" +
                registeredDriver("unparsable", "not-a-clsid", kUnparsable));
        loadAsioDriver("");  // builds the load list now, with everything above in it
    }

    void init()
    {
        ASIOExit();
        for (const QString& name : builtinNames().mid(0, 4)) {
            TestDriver::setScript(name, TestDriverScript());
            TestDriver::clearCalls(name);
        }
    }

    void cleanup()
    {
        host().setBufferProcessor(nullptr);
        ASIOExit();
        qputenv("TESSARO_ASIO_REGISTRY", QFile::encodeName(g_loadRegistry));
    }

    void cleanupTestCase()
    {
        delete g_workDir;
    }


    // The driver list.
    void listsBuiltinsThenFileKeys_data()
    {
        QTest::addColumn<QString>("registry");
        QTest::addColumn<QStringList>("names");
        const QString upper = "{ABCDEF01-2345-6789-ABCD-EF0123456789}";
        QTest::newRow("file order, description or key, quotes keep spaces")
            << registeredDriver("Zulu Card", clsidNumber(1), "Zulu Described") +
                   registeredDriver("Alpha Card", clsidNumber(2), QString()) +
                   registeredDriver("Mid Card", clsidNumber(3), "\"  Spaced Name  \"")
            << QStringList{"Zulu Described", "Alpha Card", "  Spaced Name  "};
        // Names of 32 and more characters are cut to 28 and "...".
        QTest::newRow("shortened")
            << registeredDriver("k40", clsidNumber(1), "Forty Character Description For Listing!") +
                   registeredDriver("k31", clsidNumber(2), QString(31, 'a')) +
                   registeredDriver("k32", clsidNumber(3), QString(32, 'b')) +
                   registeredDriver("k300", clsidNumber(5), QString(300, 'd'))
            << QStringList{"Forty Character Description ...", QString(31, 'a'),
                           QString(28, 'b') + "...", "k300"};
        QTest::newRow("class ids in any letter case")
            << "[HKLM\\Software\\ASIO\\upper]\nclsid = " + upper +
                   "\ndescription = Upper Text\n[HKCR\\CLSID\\" + upper.toLower() +
                   "\\inprocserver32]\n@ = " + kModulePath +
                   "\n[HKLM\\software\\asio\\mixed]\nclsid = {abcdef01-2345-6789-abcd-ef012345678a}"
                   "\ndescription = Mixed Key\n[HKCR\\clsid\\{AbCdEf01-2345-6789-aBcD-Ef012345678A}"
                   "\\InprocServer32]\n@ = " + kModulePath + "\n"
            << QStringList{"Upper Text", "Mixed Key"};
    }

    void listsBuiltinsThenFileKeys()
    {
        QFETCH(QString, registry);
        QFETCH(QStringList, names);
        useRegistry("names.ini", registry);
        AsioDrivers drivers;
        QCOMPARE(listedNames(drivers), withBuiltins(names));
        QCOMPARE(drivers.entryCount(), builtinNames().size() + names.size());
    }

    void boundsListedNamesToTheBuffer()
    {
        useRegistry("bounds.ini", registeredDriver("k200", clsidNumber(4), QString(200, 'c')));
        AsioDrivers drivers;
        const int id200 = builtinNames().size();
        // The name field keeps 127 characters of a longer description.
        QByteArray wide(400, 'X');
        QCOMPARE(drivers.entryName(id200, wide.data(), wide.size()), 0L);
        QCOMPARE(QByteArray(wide.constData()), QByteArray(127, 'c'));
        // A buffer too small even for the dots receives what fits and nothing beyond its size.
        QByteArray guarded(8, 'X');
        QCOMPARE(drivers.entryName(id200, guarded.data(), 3), 0L);
        QCOMPARE(guarded, QByteArray("..\0XXXXX", 8));
        QCOMPARE(drivers.entryName(id200, nullptr, 32), long(DRVERR_INVALID_PARAM));
        QCOMPARE(drivers.entryName(999, guarded.data(), 8), long(DRVERR_DEVICE_NOT_FOUND));
        QCOMPARE(drivers.entryName(-1, guarded.data(), 8), long(DRVERR_DEVICE_NOT_FOUND));

        // entryNames fills at most the count asked for, and no more than there are.
        QVector<QByteArray> storage(drivers.entryCount() + 2, QByteArray(32, 'X'));
        QVector<char*> pointers;
        for (QByteArray& b : storage)
            pointers << b.data();
        QCOMPARE(drivers.entryNames(pointers.data(), 2), 2L);
        QCOMPARE(QString(storage[1].constData()), kBeta);
        QCOMPARE(storage[2], QByteArray(32, 'X'));
        QCOMPARE(drivers.entryNames(pointers.data(), 100), long(drivers.entryCount()));
        QCOMPARE(QString(storage[id200].constData()), QString(28, 'c') + "...");
    }

    void skipsBrokenKeysSilently()
    {
        QString text = registeredDriver("good one", clsidNumber(1), "Good One") +
                       "[HKLM\\software\\asio\\no clsid]\ndescription = No Clsid\n" +
                       "[HKLM\\software\\asio\\unregistered]\nclsid = " + clsidNumber(2) + "\n";
        // A class key without server key, a server key without value, a server file that is gone.
        const QStringList classKeys = {"", "\\InprocServer32]\nThreadingModel = Both\n",
                                       "\\InprocServer32]\n@ = " + workFile("no-such-driver.so")};
        for (int i = 0; i < classKeys.size(); ++i) {
            text += QStringLiteral("[HKLM\\software\\asio\\broken %1]\nclsid = %2\n")
                        .arg(i)
                        .arg(clsidNumber(3 + i)) +
                    QStringLiteral("[HKCR\\clsid\\%1%2\n")
                        .arg(clsidNumber(3 + i), classKeys[i].isEmpty() ? "]" : classKeys[i]);
        }
        text += "[HKLM\\software\\asio\\" + QString(130, 'L') + "]\nclsid = " + clsidNumber(1) +
                "\n" + registeredDriver("text id", "some-text-id", "Text Id") +
                registeredDriver("good two", clsidNumber(6), "Good Two");
        useRegistry("broken.ini", text);
        startCapturingWarnings();
        AsioDrivers drivers;
        const QStringList warnings = stopCapturingWarnings();
        QCOMPARE(listedNames(drivers), withBuiltins({"Good One", "Text Id", "Good Two"}));
        // Only the key whose name does not fit the enumeration buffer is worth a message.
        QCOMPARE(warnings.size(), 1);
        QVERIFY(warnings.first().contains("127 characters"));

        // The entry whose class id text does not parse is listed but cannot be instantiated.
        IASIO* driver = nullptr;
        QCOMPARE(drivers.openDriver(idOf(drivers, "Text Id"), &driver), long(int32_t(0x80040154)));
        QVERIFY(!driver);
    }

    void reportsBadLinesAndKeepsTheRest()
    {
        const QString text = "stray = before any key\n"                               // 1
                             "[HKLM\\software\\asio\\good]\n"                          // 2
                             "clsid = " + clsidNumber(1) + "\n"                        // 3
                             "this line has no equals sign\n"                         // 4
                             "= nameless\n"                                            // 5
                             "description = \"Good Driver\"\n"                         // 6
                             "note = \"unterminated\n"                                 // 7
                             "[HKLM\\software\\asio\\unclosed\n"                       // 8
                             "clsid = " + clsidNumber(2) + "\n"                        // 9
                             "[NOWHERE\\software\\asio\\x]\n"                          // 10
                             "[HKLM\\software\\\\asio]\n"                               // 11
                             "[HKCR\\clsid\\" + clsidNumber(1) + "\\InprocServer32]\n" // 12
                             "@ = " + kModulePath + "\n";                              // 13
        const QString path = useRegistry("bad.ini", text);
        startCapturingWarnings();
        AsioDrivers drivers;
        const QStringList warnings = stopCapturingWarnings();
        QCOMPARE(listedNames(drivers), withBuiltins({"Good Driver"}));
        QStringList lines;
        for (const QString& w : warnings) {
            QVERIFY2(w.contains(path), qPrintable(w));
            lines << w.section(':', 1, 1);
        }
        // One driver list reads the file once, so each fault is reported once.
        QCOMPARE(lines, QStringList({"1", "4", "5", "7", "8", "10", "11"}));

        qputenv("TESSARO_ASIO_REGISTRY", QFile::encodeName(workFile("none.ini")));
        startCapturingWarnings();
        AsioDrivers builtinsOnly;
        QVERIFY(!stopCapturingWarnings().isEmpty());
        QCOMPARE(listedNames(builtinsOnly), withBuiltins({}));
    }

    void runtimeStartsOnlyForListedDrivers()
    {
        AsioPlatform& platform = AsioPlatform::instance();
        const int before = platform.componentRuntimeUsers();
        registerBuiltins(false);
        // A class without a driver key, an empty driver key, one driver.
        const QStringList registries = {
            "[HKCR\\clsid\\" + clsidNumber(1) + "\\InprocServer32]\n@ = " + kModulePath + "\n",
            "[HKLM\\software\\asio]\n", registeredDriver("one", clsidNumber(1), "One")};
        for (int listed = 0; listed < registries.size(); ++listed) {
            useRegistry("runtime.ini", registries[listed]);
            AsioDrivers drivers;
            QCOMPARE(drivers.entryCount(), listed / 2);
            QCOMPARE(platform.componentRuntimeUsers(), before + listed / 2);
            QVERIFY(!drivers.loadDriver(kAlpha.toLatin1().constData()));
            QVERIFY(!drivers.loadDriver(""));
        }
        QCOMPARE(platform.componentRuntimeUsers(), before);
        registerBuiltins(true);
    }

    void openAndCloseAnswerTheirCodes()
    {
        {
            AsioDrivers drivers;
            const int alpha = idOf(drivers, kAlpha);
            IASIO* driver = nullptr;
            QCOMPARE(drivers.openDriver(alpha, nullptr), long(DRVERR_INVALID_PARAM));
            QCOMPARE(drivers.openDriver(999, &driver), long(DRVERR_DEVICE_NOT_FOUND));
            QCOMPARE(drivers.openDriver(alpha, &driver), 0L);
            QCOMPARE(driver, liveDriver(kAlpha));
            IASIO* second = nullptr;
            QCOMPARE(drivers.openDriver(alpha, &second), long(DRVERR_DEVICE_ALREADY_OPEN));
            QVERIFY(!second);
            QCOMPARE(drivers.closeDriver(alpha), 0L);
            QCOMPARE(TestDriver::calls(kAlpha), QStringList({"create", "Release"}));
            QVERIFY(!TestDriver::current(kAlpha));
            QCOMPARE(drivers.closeDriver(alpha), 0L);
            QCOMPARE(drivers.closeDriver(999), 0L);

            startCapturingWarnings();
            QCOMPARE(drivers.openDriver(idOf(drivers, kBrokenModule), &driver),
                     long(int32_t(0x80004005)));
            QVERIFY(stopCapturingWarnings().join('\n').contains("cannot be loaded"));

            // Destroying the list releases what is still open.
            QCOMPARE(drivers.openDriver(alpha, &driver), 0L);
            QCOMPARE(drivers.openDriver(idOf(drivers, kBeta), &second), 0L);
        }
        QCOMPARE(TestDriver::calls(kAlpha),
                 QStringList({"create", "Release", "create", "Release"}));
        QCOMPARE(TestDriver::calls(kBeta), QStringList({"create", "Release"}));
    }


    // Loading through the load list.
    void loadReplacesOrKeepsTheCurrentDriver_data()
    {
        QTest::addColumn<QString>("previous");
        QTest::addColumn<QString>("next");
        QTest::addColumn<bool>("loads");
        QTest::addColumn<QStringList>("previousCalls");
        QTest::addColumn<QString>("current");
        const QStringList reopened{"Release", "create"};
        QTest::newRow("same driver reopened") << kAlpha << kAlpha << true << reopened << kAlpha;
        const QStringList none;
        QTest::newRow("failed load restores")
            << kAlpha << kUnparsable << false << reopened << kAlpha;
        QTest::newRow("unknown name") << kBeta << "No Such Driver" << false << none << kBeta;
        QTest::newRow("names are case-sensitive")
            << kBeta << "halvik test beta" << false << none << kBeta;
        QTest::newRow("long name as listed only") << kBeta << kLongName << false << none << kBeta;
        QTest::newRow("shortened long name")
            << kBeta << "Test Device Whose Name Has F..." << true << QStringList{"Release"}
            << kLongName;
    }

    void loadReplacesOrKeepsTheCurrentDriver()
    {
        QFETCH(QString, previous);
        QFETCH(QString, next);
        QFETCH(bool, loads);
        QFETCH(QStringList, previousCalls);
        QFETCH(QString, current);
        QVERIFY(load(previous));
        TestDriver::clearCalls(previous);
        QCOMPARE(load(next), loads);
        QCOMPARE(TestDriver::calls(previous), previousCalls);
        QVERIFY(currentAsioDriver);
        QCOMPARE(currentAsioDriver, liveDriver(current));
        // What is current is the load list's own: exiting releases it.
        QCOMPARE(ASIOExit(), ASIOError(ASE_OK));
        QVERIFY(!currentAsioDriver);
        QVERIFY(!TestDriver::current(current));
        QCOMPARE(TestDriver::calls(current).last(), QString("Release"));
    }

    void failedLoadWithoutPreviousLeavesNone()
    {
        startCapturingWarnings();
        QVERIFY(!load(kBrokenModule));
        stopCapturingWarnings();
        QVERIFY(!currentAsioDriver);
        QCOMPARE(ASIOExit(), ASIOError(ASE_OK));
    }

    void hostOperationsWithoutDriver()
    {
        const ASIOError none = ASE_NotPresent;
        long a = 7, b = 7, c = 7, d = 7;
        QCOMPARE(ASIOGetChannels(&a, &b), none);
        QCOMPARE(a | b, 0L);
        a = b = 7;
        QCOMPARE(ASIOGetLatencies(&a, &b), none);
        QCOMPARE(a | b, 0L);
        a = b = 7;
        QCOMPARE(ASIOGetBufferSize(&a, &b, &c, &d), none);
        QCOMPARE(a | b | c | d, 0L);
        ASIOChannelInfo info{};
        info.type = ASIOSTInt32LSB;
        QCOMPARE(ASIOGetChannelInfo(&info), none);
        QCOMPARE(info.channelGroup, -1L);
        QCOMPARE(info.type, long(ASIOSTInt16MSB));
        QCOMPARE(QString(info.name), QString("None"));
        char half = 0;
        ASIOBufferInfo buffers[2] = {{ASIOTrue, 0, {&half, &half}}, {ASIOTrue, 1, {&half, &half}}};
        ASIOCallbacks callbacks{};
        QCOMPARE(ASIOCreateBuffers(buffers, 2, 512, &callbacks), none);
        for (const ASIOBufferInfo& buffer : buffers)
            QVERIFY(!buffer.buffers[0] && !buffer.buffers[1]);
        ASIOSampleRate rate = 1;
        ASIOSamples position{};
        ASIOTimeStamp stamp{};
        ASIOIoFormat format{};
        const ASIOError answers[] = {ASIOStart(), ASIOStop(), ASIOCanSampleRate(44100),
                                     ASIOGetSampleRate(&rate), ASIOSetSampleRate(44100),
                                     ASIOGetSamplePosition(&position, &stamp), ASIODisposeBuffers(),
                                     ASIOFuture(kAsioGetIoFormat, &format), ASIOOutputReady()};
        for (const ASIOError answer : answers)
            QCOMPARE(answer, none);

        ASIODriverInfo driverInfo{};
        driverInfo.driverVersion = 5;
        QCOMPARE(ASIOInit(&driverInfo), none);
        QCOMPARE(driverInfo.driverVersion, 0L);
        QCOMPARE(QString(driverInfo.name), QString("No ASIO Driver"));
    }

    void initFillsTheDriverInfo()
    {
        TestDriverScript script;
        script.driverName = "Alpha Hardware";
        script.driverVersion = 42;
        TestDriver::setScript(kAlpha, script);
        QVERIFY(load(kAlpha));
        ASIODriverInfo info{};
        QCOMPARE(ASIOInit(&info), ASIOError(ASE_OK));
        QCOMPARE(QString(info.name), QString("Alpha Hardware"));
        QCOMPARE(info.driverVersion, 42L);
        QCOMPARE(QString(info.errorMessage), QString("No ASIO Driver Error"));
        QCOMPARE(TestDriver::calls(kAlpha).mid(1, 3),
                 QStringList({"init", "getDriverName", "getDriverVersion"}));

        script.initSucceeds = false;
        script.errorMessage = "device not connected";
        TestDriver::setScript(kAlpha, script);
        QVERIFY(load(kAlpha));
        QCOMPARE(ASIOInit(&info), ASIOError(ASE_NotPresent));
        QCOMPARE(QString(info.errorMessage), QString("device not connected"));
        QCOMPARE(QString(info.name), QString("No ASIO Driver"));
        QVERIFY(!currentAsioDriver);
        // The instance stays open in the load list until its next change of driver.
        QVERIFY(TestDriver::current(kAlpha));
        QVERIFY(load(kBeta));
        QVERIFY(!TestDriver::current(kAlpha));
        QCOMPARE(TestDriver::calls(kAlpha).last(), QString("Release"));
    }

    void loadsADriverModule()
    {
        QVERIFY(load(kModule));
        ASIODriverInfo info{};
        QCOMPARE(ASIOInit(&info), ASIOError(ASE_OK));
        QCOMPARE(QString(info.name), QString("Module Driver"));
        QCOMPARE(info.driverVersion, 7L);
        ASIOSampleRate rate = 0;
        QCOMPARE(ASIOGetSampleRate(&rate), ASIOError(ASE_OK));
        QCOMPARE(rate, 48000.0);
        QCOMPARE(ASIOCanSampleRate(44100), ASIOError(ASE_NoClock));
        QCOMPARE(ASIOExit(), ASIOError(ASE_OK));
        // The module stays loaded: the driver can be instantiated again.
        QVERIFY(load(kModule));
    }


    // The host state.
    void eightByEightDeviceGetsTwoPlusTwoBuffers()
    {
        TestDriverScript script;
        script.inputs = 8;
        script.outputs = 8;
        script.pcmSampleType = ASIOSTInt24LSB;
        TestDriver* driver = bringUp(script);
        QVERIFY(driver);
        QCOMPARE(host().inputChannelCount, 8L);
        QCOMPARE(host().inputBufferCount, 2L);
        QCOMPARE(host().outputBufferCount, 2L);
        const QVector<ASIOBufferInfo> given = driver->createdBuffers();
        QCOMPARE(given.size(), 4);
        for (int k = 0; k < 4; ++k) {
            const long isInput = k < 2 ? ASIOTrue : ASIOFalse;
            QCOMPARE(given[k].isInput, isInput);
            QCOMPARE(given[k].channelNum, long(k % 2));
            QCOMPARE(host().bufferInfos[k].isInput, isInput);
            QCOMPARE(host().bufferInfos[k].channelNum, long(k % 2));
            QVERIFY(host().bufferInfos[k].buffers[0] && host().bufferInfos[k].buffers[1]);
            QCOMPARE(host().channelInfos[k].channel, long(k % 2));
            QCOMPARE(host().channelInfos[k].isInput, isInput);
            QCOMPARE(host().channelInfos[k].type, long(ASIOSTInt24LSB));
        }
        QCOMPARE(driver->createdBufferSize(), 512L);
        QCOMPARE(host().inputLatency, 512L);
        QCOMPARE(host().outputLatency, 1024L);
    }

    void switchesDeliverEveryInputInOrder()
    {
        TestDriverScript script;
        script.outputs = 0;
        script.preferredBufferSize = 256;
        TestDriver* driver = bringUp(script);
        QVERIFY(driver);
        QCOMPARE(host().inputBufferCount + host().outputBufferCount, 2L);
        RecordingProcessor processor;
        host().setBufferProcessor(&processor);
        const long halves[3] = {0, 1, 0};
        for (long half : halves)
            driver->fireBufferSwitch(half);
        QCOMPARE(processor.calls.size(), 6);
        for (int i = 0; i < 6; ++i) {
            const ProcessCall& c = processor.calls[i];
            QCOMPARE(c.channel, long(i % 2));
            QCOMPARE(c.half, halves[i / 2]);
            QCOMPARE(c.bufferSize, 256L);
            QCOMPARE(c.type, long(ASIOSTInt32LSB));
            QCOMPARE(static_cast<void*>(c.data), host().bufferInfos[i % 2].buffers[c.half]);
        }
        // outputReady is supported, so it follows each switch once, after the processing.
        QVERIFY(host().outputReadySupported);
        QCOMPARE(countOf(kHost, "outputReady"), 1 + 3);
    }

    void driverThreadSwitchesAlternateHalvesWithOrWithoutPosition()
    {
        TestDriverScript script;
        script.outputReadyResult = ASE_NotPresent;
        TestDriver* driver = bringUp(script);
        QVERIFY(driver);
        QVERIFY(!host().outputReadySupported);
        RecordingProcessor processor;
        host().setBufferProcessor(&processor);
        driver->fireBufferSwitchesFromThread(10);
        QCOMPARE(processor.calls.size(), 20);
        for (int i = 0; i < 20; ++i) {
            QCOMPARE(processor.calls[i].half, long((i / 2) % 2));
            QVERIFY(processor.calls[i].thread != QThread::currentThread());
        }
        // The position of the last switch: nine buffers of 512 samples before it.
        QCOMPARE(host().lastSamplePosition, 9.0 * 512);
        QVERIFY(host().lastSystemTimeNs > 0);
        QCOMPARE(countOf(kHost, "outputReady"), 1);

        // A failed position query still delivers the buffers, with the position marked unknown.
        script.getSamplePositionResult = ASE_SPNotAdvancing;
        TestDriver::setScript(kHost, script);
        driver->fireBufferSwitch(1);
        QCOMPARE(processor.calls.size(), 22);
        QCOMPARE(host().lastSystemTimeNs, 0.0);
        QCOMPARE(host().lastSamplePosition, 0.0);
        QCOMPARE(host().lastTimeInfo.timeInfo.flags, 0UL);
    }

    void timeInfoRecordIsCopiedAndBadHalvesIgnored()
    {
        TestDriver* driver = bringUp(TestDriverScript());
        QVERIFY(driver);
        driver->fireBufferSwitch(0);  // no processor: nothing to deliver to, nothing breaks
        RecordingProcessor processor;
        host().setBufferProcessor(&processor);
        driver->fireBufferSwitch(2);
        driver->fireBufferSwitch(-1);
        AsioHostState::bufferSwitchTimeInfo(nullptr, 1, ASIOTrue);
        QCOMPARE(processor.calls.size(), 2);
        QCOMPARE(processor.calls[0].half, 1L);

        ASIOTime t{};
        t.timeInfo.samplePosition = {1, 5};
        t.timeInfo.systemTime = {0, 1000000};
        t.timeInfo.sampleRate = 96000;
        t.timeInfo.flags = kSamplePositionValid | kSampleRateValid;
        t.timeCode.timeCodeSamples = {2, 0};
        t.timeCode.flags = kTcValid | kTcRunning;
        QVERIFY(!AsioHostState::bufferSwitchTimeInfo(&t, 1, ASIOTrue));
        QCOMPARE(host().lastSamplePosition, 4294967296.0 + 5);
        QCOMPARE(host().lastSystemTimeNs, 0.0);  // not flagged valid
        QCOMPARE(host().lastTimeCodeSamples, 2 * 4294967296.0);
        QCOMPARE(host().lastTimeInfo.timeInfo.sampleRate, 96000.0);
        QCOMPARE(processor.calls.size(), 4);
        QCOMPARE(processor.calls[2].half, 1L);

        t.timeInfo.flags = kSystemTimeValid;
        t.timeCode.flags = kTcRunning;
        AsioHostState::bufferSwitchTimeInfo(&t, 0, ASIOTrue);
        QCOMPARE(host().lastSamplePosition, 0.0);
        QCOMPARE(host().lastSystemTimeNs, 1000000.0);
        QCOMPARE(host().lastTimeCodeSamples, 0.0);
    }

    void asioMessageReplies()
    {
        const long supported[] = {0, 0, 1, 1, 0, 1, 1, 1, 1, 0, 1, 0, 0, 0, 0, 0};
        for (long value = 0; value < 16; ++value)
            QCOMPARE(AsioHostState::asioMessage(kAsioSelectorSupported, value, nullptr, nullptr),
                     supported[value]);
        const long replies[][2] = {{kAsioEngineVersion, 2},    {kAsioBufferSizeChange, 0},
                                   {kAsioResyncRequest, 1},    {kAsioLatenciesChanged, 1},
                                   {kAsioSupportsTimeInfo, 1}, {kAsioSupportsTimeCode, 0},
                                   {kAsioMMCCommand, 0},       {kAsioSupportsInputMonitor, 0},
                                   {kAsioOverload, 0},         {0, 0},
                                   {12345, 0}};
        for (const auto& r : replies)
            QCOMPARE(AsioHostState::asioMessage(r[0], 0, nullptr, nullptr), r[1]);
    }

    void resetRequestReachesTheProcessor()
    {
        TestDriver* driver = bringUp(TestDriverScript());
        QVERIFY(driver);
        QCOMPARE(AsioHostState::asioMessage(kAsioResetRequest, 0, nullptr, nullptr), 1L);
        RecordingProcessor processor;
        host().setBufferProcessor(&processor);
        driver->requestReset(false);
        QCOMPARE(processor.resets.load(), 1);
        driver->requestReset(true);
        QTRY_COMPARE(processor.resets.load(), 2);
    }

    void candidateTextsFollowTheDriver()
    {
        TestDriverScript script;
        script.rates.removeAll(352800);
        QVERIFY(bringUp(script));
        const QStringList texts = {"44100.0",  "48000.0",   "88200.0",    "96000.0",
                                   "176400.0", "192000.0",  "352800.0 not supported",
                                   "384000.0", "2822400.0", "5644800.0",  "11289600.0"};
        QCOMPARE(sampleRateCandidates(), texts);
        QCOMPARE(countOf(kHost, "canSampleRate"), 11);

        ASIOExit();
        QStringList none;
        for (const QString& text : texts)
            none << text.section(' ', 0, 0) + " not supported";
        QCOMPARE(sampleRateCandidates(), none);
    }

    void setUpReportsTheFirstFailingQuery()
    {
        TestDriverScript script;
        script.inputs = 6;
        script.initialRate = 96000;
        script.getBufferSizeResult = ASE_HWMalfunction;
        TestDriver::setScript(kHost, script);
        QVERIFY(load(kHost));
        QCOMPARE(ASIOInit(&host().driverInfo), ASIOError(ASE_OK));
        AsioDriverData d;
        d.preferredBufferSize = 99;
        QCOMPARE(initAsioStaticData(d), -2);
        QCOMPARE(d.inputChannelCount, 6L);
        QCOMPARE(d.preferredBufferSize, 99L);

        script.getBufferSizeResult = ASE_OK;
        script.getSampleRateResult = ASE_NoClock;
        TestDriver::setScript(kHost, script);
        QCOMPARE(initAsioStaticData(d), -3);
        QCOMPARE(d.preferredBufferSize, 512L);

        script.getChannelsResult = ASE_NotPresent;
        TestDriver::setScript(kHost, script);
        QCOMPARE(initAsioStaticData(d), -1);

        TestDriver::setScript(kHost, TestDriverScript());
        QCOMPARE(initAsioStaticData(d), 0);
        QCOMPARE(d.sampleRate, 96000.0);
        QVERIFY(d.outputReadySupported);
    }

    void bufferCreationReportsTheFailingCall()
    {
        QVERIFY(bringUp(TestDriverScript()));
        const struct
        {
            ASIOError TestDriverScript::*result;
            ASIOError code;
        } failures[] = {{&TestDriverScript::getChannelInfoResult, ASE_InvalidParameter},
                        {&TestDriverScript::getLatenciesResult, ASE_HWMalfunction},
                        {&TestDriverScript::createBuffersResult, ASE_NoMemory}};
        for (const auto& failure : failures) {
            TestDriverScript script;
            script.*failure.result = failure.code;
            TestDriver::setScript(kHost, script);
            QCOMPARE(host().createAsioBuffers(host()), failure.code);
            QCOMPARE(host().inputBufferCount, 2L);
        }
        QVERIFY(!host().bufferInfos[0].buffers[0]);
        QCOMPARE(countOf(kHost, "getChannelInfo"), 4 + 1 + 4);
    }

};

QTEST_GUILESS_MAIN(TestAsio)
#include "tst_asio.moc"
