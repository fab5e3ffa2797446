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
const QStringList kTestDrivers = {kAlpha, kBeta, kLongName, kHost};

QTemporaryDir* g_workDir = nullptr;
QString g_loadRegistry;
QStringList g_warnings;
QtMessageHandler g_previousHandler = nullptr;

// The built-in classes as listed, test drivers first, then the entries of the registry file;
// names of 32 characters and more come back as 28 characters and "...".
QStringList withBuiltins(const QStringList& fileNames)
{
    return QStringList{kAlpha, kBeta, "Test Device Whose Name Has F...", kHost,
                       "Halvik Simulated Device"} +
           fileNames;
}

void registerBuiltins(bool on)
{
    for (const QString& name : kTestDrivers)
        on ? TestDriver::registerDriver(name) : TestDriver::unregisterDriver(name);
    if (on)
        registerSimulatedDriver();
    else
        BuiltinDrivers::removeProvider(QStringLiteral("simulated"));
}

// Writes a registry file in the work directory (none for a null text) and makes it the one to read.
QString useRegistry(const QString& fileName, const QString& text)
{
    const QString path = g_workDir->filePath(fileName);
    QFile file(path);
    if (text.isNull())
        file.remove();
    else if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
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

// Collects the warnings issued on the test thread between start and stop.
void captureWarning(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type == QtWarningMsg)
        g_warnings << text;
}

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
    QList<long> halves() const
    {
        QList<long> all;
        for (const ProcessCall& c : calls)
            all << c.half;
        return all;
    }

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

} // namespace

class TestAsio : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        g_workDir = new QTemporaryDir;
        QVERIFY(g_workDir->isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(g_workDir->filePath("config")));
        qputenv("TESSARO_SIMULATED_UNPLUG_FILE", QFile::encodeName(g_workDir->filePath("unplug")));
        registerBuiltins(true);
        const QString broken = clsidNumber(7);
        g_loadRegistry = useRegistry(
            "load-registry.ini",
            registeredDriver("module", "{9B1F3C2A-4D5E-4F60-8A7B-1C2D3E4F5A6B}", kModule) +
                "[HKLM\\software\\asio\\broken module]\nclsid = " + broken +
                "\ndescription = " + kBrokenModule + "\n[HKCR\\clsid\\" + broken +
                "\\InprocServer32]\n@ = " + g_workDir->filePath("load-registry.ini") + "\n" +
                registeredDriver("unparsable", "not-a-clsid", kUnparsable));
        loadAsioDriver(""); // builds the load list now, with everything above in it
    }

    void init()
    {
        ASIOExit();
        for (const QString& name : kTestDrivers) {
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

    void cleanupTestCase() { delete g_workDir; }

    // The driver list. Warnings: one fragment per warning expected, in order.
    void listsBuiltinsThenFileKeys_data()
    {
        QTest::addColumn<QString>("registry");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QStringList>("warnings");
        const QString upper = "{ABCDEF01-2345-6789-ABCD-EF0123456789}";
        QTest::newRow("file order, description or key, quotes keep spaces")
            << registeredDriver("Zulu Card", clsidNumber(1), "Zulu Described") +
                   registeredDriver("Alpha Card", clsidNumber(2), QString()) +
                   registeredDriver("Mid Card", clsidNumber(3), "\"  Spaced Name  \"")
            << QStringList{"Zulu Described", "Alpha Card", "  Spaced Name  "} << QStringList();
        QTest::newRow("names of 32 characters and more shortened")
            << registeredDriver("k40", clsidNumber(1), "Forty Character Description For Listing!") +
                   registeredDriver("k31", clsidNumber(2), QString(31, 'a')) +
                   registeredDriver("k32", clsidNumber(3), QString(32, 'b')) +
                   registeredDriver("k300", clsidNumber(5), QString(300, 'd'))
            << QStringList{"Forty Character Description ...", QString(31, 'a'),
                           QString(28, 'b') + "...", "k300"}
            << QStringList();
        QTest::newRow("class ids in any letter case")
            << "[HKLM\\Software\\ASIO\\upper]\nclsid = " + upper +
                   "\ndescription = Upper Text\n[HKCR\\CLSID\\" + upper.toLower() +
                   "\\inprocserver32]\n@ = " + kModulePath +
                   "\n[HKLM\\software\\asio\\mixed]\nclsid = {abcdef01-2345-6789-abcd-ef012345678a}"
                   "\ndescription = Mixed Key\n[HKCR\\clsid\\{AbCdEf01-2345-6789-aBcD-Ef012345678A}"
                   "\\InprocServer32]\n@ = " +
                   kModulePath + "\n"
            << QStringList{"Upper Text", "Mixed Key"} << QStringList();

        // A key without class id, a class id without class key, a class key without server
        // key, a server key without value, a server file that is gone: skipped silently. Only
        // the key whose name does not fit the enumeration buffer is worth a message.
        QString broken = registeredDriver("good one", clsidNumber(1), "Good One") +
                         "[HKLM\\software\\asio\\no clsid]\ndescription = No Clsid\n" +
                         "[HKLM\\software\\asio\\unregistered]\nclsid = " + clsidNumber(2) + "\n";
        const QStringList classKeys = {"]", "\\InprocServer32]\nThreadingModel = Both\n",
                                       "\\InprocServer32]\n@ = " +
                                           g_workDir->filePath("no-such-driver.so")};
        for (int i = 0; i < classKeys.size(); ++i)
            broken += QStringLiteral(
                          "[HKLM\\software\\asio\\broken %1]\nclsid = %2\n[HKCR\\clsid\\%2%3\n")
                          .arg(i)
                          .arg(clsidNumber(3 + i), classKeys[i]);
        broken += "[HKLM\\software\\asio\\" + QString(130, 'L') + "]\nclsid = " + clsidNumber(1) +
                  "\n" + registeredDriver("text id", "some-text-id", "Text Id") +
                  registeredDriver("good two", clsidNumber(6), "Good Two");
        QTest::newRow("broken keys skipped")
            << broken << QStringList{"Good One", "Text Id", "Good Two"}
            << QStringList{"127 characters"};

        // Each bad line is reported once with the file and its number; the rest is kept.
        const QStringList badLines = {"stray = before any key",
                                      "[HKLM\\software\\asio\\good]",
                                      "clsid = " + clsidNumber(1),
                                      "this line has no equals sign",
                                      "= nameless",
                                      "description = \"Good Driver\"",
                                      "note = \"unterminated",
                                      "[HKLM\\software\\asio\\unclosed",
                                      "clsid = " + clsidNumber(2),
                                      "[NOWHERE\\software\\asio\\x]",
                                      "[HKLM\\software\\\\asio]",
                                      "[HKCR\\clsid\\" + clsidNumber(1) + "\\InprocServer32]",
                                      "@ = " + kModulePath};
        QStringList lines;
        for (int line : {1, 4, 5, 7, 8, 10, 11})
            lines << QStringLiteral("names.ini:%1: ").arg(line);
        QTest::newRow("bad lines reported") << badLines.join("\n") + "\n"
                                            << QStringList{"Good Driver"} << lines;
        QTest::newRow("no registry file")
            << QString() << QStringList() << QStringList{"names.ini cannot be read"};
    }

    void listsBuiltinsThenFileKeys()
    {
        QFETCH(QString, registry);
        QFETCH(QStringList, names);
        QFETCH(QStringList, warnings);
        useRegistry("names.ini", registry);
        startCapturingWarnings();
        AsioDrivers drivers;
        const QStringList issued = stopCapturingWarnings();
        QCOMPARE(listedNames(drivers), withBuiltins(names));
        QCOMPARE(drivers.entryCount(), withBuiltins(names).size());
        QCOMPARE(issued.size(), warnings.size());
        for (int i = 0; i < issued.size(); ++i)
            QVERIFY2(issued[i].contains(warnings[i]), qPrintable(issued[i]));
    }

    void boundsListedNamesToTheBuffer()
    {
        useRegistry("bounds.ini", registeredDriver("k200", clsidNumber(4), QString(200, 'c')));
        AsioDrivers drivers;
        const int id200 = withBuiltins({}).size();
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

    // A class without a driver key, an empty driver key, one driver.
    void runtimeStartsOnlyForListedDrivers()
    {
        AsioPlatform& platform = AsioPlatform::instance();
        const int before = platform.componentRuntimeUsers();
        registerBuiltins(false);
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
            // A class id text that does not parse is listed but cannot be instantiated.
            QCOMPARE(drivers.openDriver(idOf(drivers, kUnparsable), &driver),
                     long(int32_t(0x80040154)));
            QVERIFY(!driver);
            QCOMPARE(drivers.openDriver(alpha, &driver), 0L);
            QCOMPARE(driver, TestDriver::current(kAlpha));
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

    // Loading through the load list; no previous or current driver is given as "".
    void loadReplacesOrKeepsTheCurrentDriver_data()
    {
        QTest::addColumn<QString>("previous");
        QTest::addColumn<QString>("next");
        QTest::addColumn<bool>("loads");
        QTest::addColumn<QStringList>("previousCalls");
        QTest::addColumn<QString>("current");
        const QStringList reopened{"Release", "create"}, none;
        QTest::newRow("same driver reopened") << kAlpha << kAlpha << true << reopened << kAlpha;
        QTest::newRow("failed load restores")
            << kAlpha << kUnparsable << false << reopened << kAlpha;
        QTest::newRow("unknown name") << kBeta << "No Such Driver" << false << none << kBeta;
        QTest::newRow("names are case-sensitive")
            << kBeta << "halvik test beta" << false << none << kBeta;
        QTest::newRow("long name as listed only") << kBeta << kLongName << false << none << kBeta;
        QTest::newRow("shortened long name") << kBeta << "Test Device Whose Name Has F..." << true
                                             << QStringList{"Release"} << kLongName;
        QTest::newRow("failed load without previous") << "" << kBrokenModule << false << none << "";
    }

    void loadReplacesOrKeepsTheCurrentDriver()
    {
        QFETCH(QString, previous);
        QFETCH(QString, next);
        QFETCH(bool, loads);
        QFETCH(QStringList, previousCalls);
        QFETCH(QString, current);
        QVERIFY(previous.isEmpty() || load(previous));
        TestDriver::clearCalls(previous);
        QCOMPARE(load(next), loads);
        QCOMPARE(TestDriver::calls(previous), previousCalls);
        QCOMPARE(currentAsioDriver, current.isEmpty() ? nullptr : TestDriver::current(current));
        // What is current is the load list's own: exiting releases it.
        QCOMPARE(ASIOExit(), ASIOError(ASE_OK));
        QVERIFY(!currentAsioDriver);
        if (!current.isEmpty()) {
            QVERIFY(!TestDriver::current(current));
            QCOMPARE(TestDriver::calls(current).last(), QString("Release"));
        }
    }

    void hostOperationsWithoutDriver()
    {
        // Every answer is ASE_NotPresent, and what the driver would fill is cleared.
        long sizes[8] = {7, 7, 7, 7, 7, 7, 7, 7};
        char half = 0;
        ASIOBufferInfo buffers[2] = {{ASIOTrue, 0, {&half, &half}}, {ASIOTrue, 1, {&half, &half}}};
        ASIOCallbacks callbacks{};
        ASIOChannelInfo info{};
        info.type = ASIOSTInt32LSB;
        ASIOSampleRate rate = 1;
        ASIOSamples position{};
        ASIOTimeStamp stamp{};
        ASIOIoFormat format{};
        const ASIOError none = ASE_NotPresent;
        for (const ASIOError answer :
             {ASIOGetChannels(sizes, sizes + 1), ASIOGetLatencies(sizes + 2, sizes + 3),
              ASIOGetBufferSize(sizes + 4, sizes + 5, sizes + 6, sizes + 7),
              ASIOCreateBuffers(buffers, 2, 512, &callbacks), ASIOGetChannelInfo(&info),
              ASIOStart(), ASIOStop(), ASIOCanSampleRate(44100), ASIOGetSampleRate(&rate),
              ASIOSetSampleRate(44100), ASIOGetSamplePosition(&position, &stamp),
              ASIODisposeBuffers(), ASIOFuture(kAsioGetIoFormat, &format), ASIOOutputReady()})
            QCOMPARE(answer, none);
        QCOMPARE(std::vector<long>(sizes, sizes + 8), std::vector<long>(8, 0));
        for (const ASIOBufferInfo& buffer : buffers)
            QVERIFY(!buffer.buffers[0] && !buffer.buffers[1]);
        QCOMPARE((QList<long>{info.channelGroup, info.type}), (QList<long>{-1, ASIOSTInt16MSB}));
        QCOMPARE(QString(info.name), QString("None"));
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
        QCOMPARE(QStringList({info.name, info.errorMessage, QString::number(info.driverVersion)}),
                 QStringList({"Alpha Hardware", "No ASIO Driver Error", "42"}));
        QCOMPARE(TestDriver::calls(kAlpha).mid(1, 3),
                 QStringList({"init", "getDriverName", "getDriverVersion"}));

        script.initSucceeds = false;
        script.errorMessage = "device not connected";
        TestDriver::setScript(kAlpha, script);
        QVERIFY(load(kAlpha));
        QCOMPARE(ASIOInit(&info), ASIOError(ASE_NotPresent));
        QCOMPARE(QStringList({info.name, info.errorMessage}),
                 QStringList({"No ASIO Driver", "device not connected"}));
        QVERIFY(!currentAsioDriver);
        // The instance stays open in the load list until its next change of driver.
        QVERIFY(TestDriver::current(kAlpha));
        QVERIFY(load(kBeta));
        QVERIFY(!TestDriver::current(kAlpha));
        QCOMPARE(TestDriver::calls(kAlpha).last(), QString("Release"));

        // A driver module found through the class's server file; it stays loaded for the next
        // instantiation.
        QVERIFY(load(kModule));
        QCOMPARE(ASIOInit(&info), ASIOError(ASE_OK));
        QCOMPARE(QStringList({info.name, QString::number(info.driverVersion)}),
                 QStringList({"Module Driver", "7"}));
        ASIOSampleRate rate = 0;
        QCOMPARE(ASIOGetSampleRate(&rate), ASIOError(ASE_OK));
        QCOMPARE(rate, 48000.0);
        QCOMPARE(ASIOCanSampleRate(44100), ASIOError(ASE_NoClock));
        QCOMPARE(ASIOExit(), ASIOError(ASE_OK));
        QVERIFY(load(kModule));
    }

    // The host state.
    void eightByEightDeviceGetsTwoPlusTwoBuffers()
    {
        TestDriverScript script;
        script.inputs = script.outputs = 8;
        script.pcmSampleType = ASIOSTInt24LSB;
        TestDriver* driver = bringUp(script);
        QVERIFY(driver);
        QCOMPARE((QList<long>{host().inputChannelCount, host().inputBufferCount,
                              host().outputBufferCount, driver->createdBufferSize(),
                              host().inputLatency, host().outputLatency}),
                 (QList<long>{8, 2, 2, 512, 512, 1024}));
        const QVector<ASIOBufferInfo> given = driver->createdBuffers();
        QCOMPARE(given.size(), 4);
        for (int k = 0; k < 4; ++k) {
            const QList<long> expected{k < 2 ? ASIOTrue : ASIOFalse, k % 2};
            QCOMPARE((QList<long>{given[k].isInput, given[k].channelNum}), expected);
            QCOMPARE((QList<long>{host().bufferInfos[k].isInput, host().bufferInfos[k].channelNum}),
                     expected);
            QVERIFY(host().bufferInfos[k].buffers[0] && host().bufferInfos[k].buffers[1]);
            const ASIOChannelInfo& info = host().channelInfos[k];
            QCOMPARE((QList<long>{info.isInput, info.channel, info.type}),
                     expected + QList<long>{ASIOSTInt24LSB});
        }
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
        for (long half : {0, 1, 0})
            driver->fireBufferSwitch(half);
        QCOMPARE(processor.halves(), (QList<long>{0, 0, 1, 1, 0, 0}));
        for (int i = 0; i < 6; ++i) {
            const ProcessCall& c = processor.calls[i];
            QCOMPARE((QList<long>{c.channel, c.bufferSize, c.type}),
                     (QList<long>{i % 2, 256, ASIOSTInt32LSB}));
            QCOMPARE(static_cast<void*>(c.data), host().bufferInfos[i % 2].buffers[c.half]);
        }
        // outputReady is supported, so it follows each switch once, after the processing.
        QVERIFY(host().outputReadySupported);
        QCOMPARE(TestDriver::calls(kHost).count("outputReady"), 1 + 3);
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
        QList<long> halves;
        for (int i = 0; i < 20; ++i)
            halves << (i / 2) % 2;
        QCOMPARE(processor.halves(), halves);
        for (const ProcessCall& c : processor.calls)
            QVERIFY(c.thread != QThread::currentThread());
        // The position of the last switch: nine buffers of 512 samples before it.
        QCOMPARE(host().lastSamplePosition, 9.0 * 512);
        QVERIFY(host().lastSystemTimeNs > 0);
        QCOMPARE(TestDriver::calls(kHost).count("outputReady"), 1);

        // A failed position query still delivers the buffers, with the position marked unknown.
        script.getSamplePositionResult = ASE_SPNotAdvancing;
        TestDriver::setScript(kHost, script);
        driver->fireBufferSwitch(1);
        QCOMPARE(processor.calls.size(), 22);
        QCOMPARE((QList<double>{host().lastSystemTimeNs, host().lastSamplePosition,
                                double(host().lastTimeInfo.timeInfo.flags)}),
                 (QList<double>{0, 0, 0}));
    }

    void timeInfoRecordIsCopiedAndBadHalvesIgnored()
    {
        TestDriver* driver = bringUp(TestDriverScript());
        QVERIFY(driver);
        driver->fireBufferSwitch(0); // no processor: nothing to deliver to, nothing breaks
        RecordingProcessor processor;
        host().setBufferProcessor(&processor);
        driver->fireBufferSwitch(2);
        driver->fireBufferSwitch(-1);
        AsioHostState::bufferSwitchTimeInfo(nullptr, 1, ASIOTrue);
        QCOMPARE(processor.halves(), (QList<long>{1, 1}));

        ASIOTime t{};
        t.timeInfo.samplePosition = {1, 5};
        t.timeInfo.systemTime = {0, 1000000};
        t.timeInfo.sampleRate = 96000;
        t.timeInfo.flags = kSamplePositionValid | kSampleRateValid;
        t.timeCode.timeCodeSamples = {2, 0};
        t.timeCode.flags = kTcValid | kTcRunning;
        QVERIFY(!AsioHostState::bufferSwitchTimeInfo(&t, 1, ASIOTrue));
        // The system time is not flagged valid.
        QCOMPARE(
            (QList<double>{host().lastSamplePosition, host().lastSystemTimeNs,
                           host().lastTimeCodeSamples, host().lastTimeInfo.timeInfo.sampleRate}),
            (QList<double>{4294967296.0 + 5, 0, 2 * 4294967296.0, 96000}));
        QCOMPARE(processor.halves(), (QList<long>{1, 1, 1, 1}));

        t.timeInfo.flags = kSystemTimeValid;
        t.timeCode.flags = kTcRunning;
        AsioHostState::bufferSwitchTimeInfo(&t, 0, ASIOTrue);
        QCOMPARE((QList<double>{host().lastSamplePosition, host().lastSystemTimeNs,
                                host().lastTimeCodeSamples}),
                 (QList<double>{0, 1000000, 0}));
    }

    void asioMessageRepliesAndResetRequest()
    {
        const long supported[] = {0, 0, 1, 1, 0, 1, 1, 1, 1, 0, 1, 0, 0, 0, 0, 0};
        for (long value = 0; value < 16; ++value)
            QCOMPARE(AsioHostState::asioMessage(kAsioSelectorSupported, value, nullptr, nullptr),
                     supported[value]);
        const long replies[][2] = {{kAsioEngineVersion, 2},
                                   {kAsioBufferSizeChange, 0},
                                   {kAsioResyncRequest, 1},
                                   {kAsioLatenciesChanged, 1},
                                   {kAsioSupportsTimeInfo, 1},
                                   {kAsioSupportsTimeCode, 0},
                                   {kAsioMMCCommand, 0},
                                   {kAsioSupportsInputMonitor, 0},
                                   {kAsioOverload, 0},
                                   {0, 0},
                                   {12345, 0},
                                   {kAsioResetRequest, 1}};
        for (const auto& r : replies)
            QCOMPARE(AsioHostState::asioMessage(r[0], 0, nullptr, nullptr), r[1]);

        // A reset request reaches the processor, also from the driver's own thread.
        TestDriver* driver = bringUp(TestDriverScript());
        QVERIFY(driver);
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
        const QStringList texts = {"44100.0",
                                   "48000.0",
                                   "88200.0",
                                   "96000.0",
                                   "176400.0",
                                   "192000.0",
                                   "352800.0 not supported",
                                   "384000.0",
                                   "2822400.0",
                                   "5644800.0",
                                   "11289600.0"};
        QCOMPARE(sampleRateCandidates(), texts);
        QCOMPARE(TestDriver::calls(kHost).count("canSampleRate"), 11);

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
        QCOMPARE((QList<long>{d.inputChannelCount, d.preferredBufferSize}), (QList<long>{6, 99}));

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

        // Creating the buffers reports the failing call and creates none.
        QVERIFY(bringUp(TestDriverScript()));
        TestDriver::clearCalls(kHost);
        const struct
        {
            ASIOError TestDriverScript::*result;
            ASIOError code;
        } failures[] = {{&TestDriverScript::getChannelInfoResult, ASE_InvalidParameter},
                        {&TestDriverScript::getLatenciesResult, ASE_HWMalfunction},
                        {&TestDriverScript::createBuffersResult, ASE_NoMemory}};
        for (const auto& failure : failures) {
            script = TestDriverScript();
            script.*failure.result = failure.code;
            TestDriver::setScript(kHost, script);
            QCOMPARE(host().createAsioBuffers(host()), failure.code);
            QCOMPARE(host().inputBufferCount, 2L);
        }
        QVERIFY(!host().bufferInfos[0].buffers[0]);
        QCOMPARE(TestDriver::calls(kHost).count("getChannelInfo"), 1 + 4);
    }
};

QTEST_GUILESS_MAIN(TestAsio)
#include "tst_asio.moc"
