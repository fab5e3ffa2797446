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

QTemporaryDir g_workDir;
QString g_loadRegistry;
QStringList g_warnings;

// The built-in classes as listed, test drivers first, then the entries of the registry file.
// A name of 32 characters and more does not fit the name buffers: it is listed under its key
// name, or (as here, the key being as long) under its start tagged with a hash of the whole
// (FNV-1a, low 16 bits), never cut to a prefix that may equal another's.
const QString kLongListed = "Test Device Whose Name Has~9e1d";
QStringList withBuiltins(const QStringList& fileNames)
{
    return QStringList{kAlpha, kBeta, kLongListed, kHost, "Halvik Simulated Device"} + fileNames;
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
    const QString path = g_workDir.filePath(fileName);
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

// Values as one line, to compare a record whole; numbers in full.
template <typename... T> QString fields(const T&... values)
{
    QString text;
    QTextStream out(&text);
    out.setRealNumberPrecision(17);
    ((out << values << ' '), ...);
    out.flush();
    return text.trimmed();
}

// Records per call the channel, the half, the half of the channel's buffer pair whose memory
// came, and whether it came on the test's or another thread (which has ended before the test
// reads the record).
struct RecordingProcessor : AudioBufferProcessor
{
    void processBuffer(unsigned char* data, long channel, ASIOSampleType type, long bufferSize,
                       long half) override
    {
        const ASIOBufferInfo& info = AsioHostState::instance()->bufferInfos[channel];
        const int memory = data == info.buffers[0] ? 0 : data == info.buffers[1] ? 1 : -1;
        const bool testThread = QThread::currentThread() == qApp->thread();
        calls << fields(channel, half, memory, testThread ? "test" : "driver");
        sizesAndTypes << fields(bufferSize, type);
    }
    void driverResetRequested() override {} // passed on as the controller tests show

    QStringList calls;
    QSet<QString> sizesAndTypes;
};

} // namespace

class TestAsio : public QObject
{
    Q_OBJECT
    static bool load(const QString& name) { return loadAsioDriver(name.toLatin1().constData()); }
    static AsioHostState& host() { return *AsioHostState::instance(); }

private slots:
    void initTestCase()
    {
        QVERIFY(g_workDir.isValid());
        qputenv("TESSARO_SIMULATED_UNPLUG_FILE", QFile::encodeName(g_workDir.filePath("unplug")));
        registerBuiltins(true);
        const QString broken = clsidNumber(7);
        g_loadRegistry = useRegistry(
            "load-registry.ini",
            registeredDriver("module", "{9B1F3C2A-4D5E-4F60-8A7B-1C2D3E4F5A6B}", kModule) +
                "[HKLM\\software\\asio\\broken module]\nclsid = " + broken +
                "\ndescription = " + kBrokenModule + "\n[HKCR\\clsid\\" + broken +
                "\\InprocServer32]\n@ = " + g_workDir.filePath("load-registry.ini") + "\n" +
                registeredDriver("unparsable", "not-a-clsid", kUnparsable));
        loadAsioDriver(""); // builds the load list now, with everything above in it
    }

    void init()
    {
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

    // The driver list. Warnings: one fragment per warning expected, in order.
    void listsBuiltinsThenFileKeys_data()
    {
        QTest::addColumn<QString>("registry");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QStringList>("warnings");
        QTest::newRow("file order, description or key, quotes keep spaces, long names by key")
            << registeredDriver("Zulu Card", clsidNumber(1), "Zulu Described") +
                   registeredDriver("Alpha Card", clsidNumber(2), QString()) +
                   registeredDriver("Mid Card", clsidNumber(3), "\"  Spaced Name  \"") +
                   registeredDriver("k31", clsidNumber(4), QString(31, 'a')) +
                   registeredDriver("k32", clsidNumber(5), QString(32, 'b')) +
                   registeredDriver("k300", clsidNumber(6), QString(300, 'd'))
            << QStringList{"Zulu Described", "Alpha Card", "  Spaced Name  ",
                           QString(31, 'a'), "k32",        "k300"}
            << QStringList();
        // Cut to the buffers these would have been listed alike; equal names are numbered.
        const QString longKey = QString(40, 'k');
        QTest::newRow("long and equal names listed apart")
            << registeredDriver(longKey + "A", clsidNumber(1),
                                "Professional Audio Interface Model A") +
                   registeredDriver(longKey + "B", clsidNumber(2),
                                    "Professional Audio Interface Model B") +
                   registeredDriver("Twin", clsidNumber(3), QString()) +
                   registeredDriver("Twin Key", clsidNumber(4), "Twin") +
                   registeredDriver(longKey + "C", clsidNumber(5), "Twin")
            << QStringList{"Professional Audio Interfa~4891", "Professional Audio Interfa~43d8",
                           "Twin", "Twin Key", "Twin 2"}
            << QStringList();
        QTest::newRow("class ids in any letter case")
            << QStringLiteral(
                   "[HKLM\\Software\\ASIO\\upper]\nclsid = {ABCDEF01-2345-6789-ABCD-EF0123456789}\n"
                   "description = Upper Text\n"
                   "[HKCR\\CLSID\\{abcdef01-2345-6789-abcd-ef0123456789}\\inprocserver32]\n@ = %1\n"
                   "[HKLM\\software\\asio\\mixed]\nclsid = {abcdef01-2345-6789-abcd-ef012345678a}\n"
                   "description = Mixed Key\n"
                   "[HKCR\\clsid\\{AbCdEf01-2345-6789-aBcD-Ef012345678A}\\InprocServer32]\n@ = "
                   "%1\n")
                   .arg(kModulePath)
            << QStringList{"Upper Text", "Mixed Key"} << QStringList();

        // A key without class id, a class id without class key, a class key without server
        // key, a server key without value, a server file that is gone: skipped silently. Only
        // the key whose name does not fit the enumeration buffer is worth a message.
        const QString broken =
            QStringLiteral("[HKLM\\software\\asio\\no clsid]\ndescription = No Clsid\n"
                           "[HKLM\\software\\asio\\unregistered]\nclsid = %1\n"
                           "[HKLM\\software\\asio\\broken 0]\nclsid = %2\n[HKCR\\clsid\\%2]\n"
                           "[HKLM\\software\\asio\\broken 1]\nclsid = %3\n"
                           "[HKCR\\clsid\\%3\\InprocServer32]\nThreadingModel = Both\n"
                           "[HKLM\\software\\asio\\broken 2]\nclsid = %4\n"
                           "[HKCR\\clsid\\%4\\InprocServer32]\n@ = %5\n"
                           "[HKLM\\software\\asio\\%6]\nclsid = %7\n")
                .arg(clsidNumber(2), clsidNumber(3), clsidNumber(4), clsidNumber(5),
                     g_workDir.filePath("gone.so"), QString(130, 'L'), clsidNumber(1));
        QTest::newRow("broken keys skipped")
            << registeredDriver("good one", clsidNumber(1), "Good One") + broken +
                   registeredDriver("text id", "some-text-id", "Text Id") +
                   registeredDriver("good two", clsidNumber(6), "Good Two")
            << QStringList{"Good One", "Text Id", "Good Two"} << QStringList{"127 characters"};

        // Each bad line (1, 4, 5, 7, 8, 10, 11) is reported once with the file and its number;
        // the rest is kept.
        const QString badLines =
            QStringLiteral(
                "stray = before any key\n[HKLM\\software\\asio\\good]\nclsid = %1\n"
                "this line has no equals sign\n= nameless\ndescription = \"Good Driver\"\n"
                "note = \"unterminated\n[HKLM\\software\\asio\\unclosed\nclsid = %2\n"
                "[NOWHERE\\software\\asio\\x]\n[HKLM\\software\\\\asio]\n"
                "[HKCR\\clsid\\%1\\InprocServer32]\n@ = %3\n")
                .arg(clsidNumber(1), clsidNumber(2), kModulePath);
        QStringList lines;
        for (int line : {1, 4, 5, 7, 8, 10, 11})
            lines << QStringLiteral("names.ini:%1: ").arg(line);
        QTest::newRow("bad lines reported") << badLines << QStringList{"Good Driver"} << lines;
    }

    void listsBuiltinsThenFileKeys()
    {
        QFETCH(QString, registry);
        QFETCH(QStringList, names);
        QFETCH(QStringList, warnings);
        useRegistry("names.ini", registry);
        g_warnings.clear();
        const QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext&, const QString& text) {
                if (type == QtWarningMsg)
                    g_warnings << text;
            });
        const AsioDrivers drivers;
        qInstallMessageHandler(previous);
        QStringList listed;
        QByteArray buffer(32, '\0');
        for (int i = 0; i < drivers.entryCount(); ++i)
            listed << (drivers.entryName(i, buffer.data(), 32) == 0 ? QString(buffer.constData())
                                                                    : "failed");
        QCOMPARE(listed, withBuiltins(names));
        QCOMPARE(g_warnings.size(), warnings.size());
        for (int i = 0; i < g_warnings.size(); ++i)
            QVERIFY2(g_warnings[i].contains(warnings[i]), qPrintable(g_warnings[i]));
    }

    // A description and a key name too long for the name buffers: listed under the start of the
    // description (its first 127 characters kept) tagged with their hash, whole in every buffer.
    // entryNames, through which the controller lists the drivers, fills at most the count asked
    // for, and no more than there are. (Other callers' buffer sizes and bad ids are left out:
    // nothing in the program passes them.)
    void boundsListedNamesToTheBuffer()
    {
        const QString listed = QString(26, 'c') + "~f1a4";
        useRegistry("bounds.ini",
                    registeredDriver(QString(40, 'k'), clsidNumber(4), QString(200, 'c')));
        AsioDrivers drivers;
        const int id200 = withBuiltins({}).size();
        QByteArray wide(400, 'X');
        QCOMPARE(fields(drivers.entryName(id200, wide.data(), wide.size()), wide.constData()),
                 fields(0, listed));
        QVector<QByteArray> storage(drivers.entryCount() + 2, QByteArray(32, 'X'));
        QVector<char*> pointers;
        for (QByteArray& b : storage)
            pointers << b.data();
        QCOMPARE(fields(drivers.entryNames(pointers.data(), 2), storage[1].constData(), storage[2]),
                 fields(2, kBeta, QByteArray(32, 'X')));
        QCOMPARE(fields(drivers.entryNames(pointers.data(), 100), storage[id200].constData()),
                 fields(drivers.entryCount(), listed));
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
        }
        QCOMPARE(platform.componentRuntimeUsers(), before);
        registerBuiltins(true);
    }

    // Destroying the list releases what is still open. (Opening through the load list, and its
    // failures, are the load cases'; the program opens no other way.)
    void destroyedListReleasesOpenDrivers()
    {
        {
            AsioDrivers drivers;
            IASIO* driver = nullptr; // ids 0 and 1: Alpha and Beta, listed first
            QCOMPARE(drivers.openDriver(0, &driver), 0L);
            QCOMPARE(driver, TestDriver::current(kAlpha));
            QCOMPARE(drivers.openDriver(1, &driver), 0L);
        }
        QCOMPARE(TestDriver::calls(kAlpha) + TestDriver::calls(kBeta),
                 QStringList({"create", "Release", "create", "Release"}));
    }

    // Loading through the load list: the previous driver (none for ""), the name loaded, whether
    // it loads, the previous driver's calls meanwhile, and the driver current afterwards.
    void loadReplacesOrKeepsTheCurrentDriver()
    {
        const QStringList reopened{"Release", "create"}, none;
        struct Row
        {
            QString previous, next;
            bool loads;
            QStringList calls;
            QString current;
        };
        const Row rows[] = {
            {kAlpha, kAlpha, true, reopened, kAlpha},
            {kAlpha, kUnparsable, false, reopened, kAlpha}, // a failed load restores
            {kBeta, "No Such Driver", false, none, kBeta},
            {kBeta, "halvik test beta", false, none, kBeta}, // names are case-sensitive
            {kBeta, kLongName, false, none, kBeta},          // only as listed
            {kBeta, kLongListed, true, {"Release"}, kLongName},
            {"", kBrokenModule, false, none, ""}};
        for (const auto& row : rows) {
            QVERIFY(row.previous.isEmpty() || load(row.previous));
            TestDriver::clearCalls(row.previous);
            QVERIFY2(load(row.next) == row.loads, qPrintable(row.next));
            QCOMPARE(TestDriver::calls(row.previous), row.calls);
            QCOMPARE(currentAsioDriver,
                     row.current.isEmpty() ? nullptr : TestDriver::current(row.current));
            // What is current is the load list's own: exiting releases it.
            QVERIFY(ASIOExit() == ASE_OK && !currentAsioDriver);
            QVERIFY(row.current.isEmpty() || !TestDriver::current(row.current));
            QVERIFY(row.current.isEmpty() || TestDriver::calls(row.current).last() == "Release");
        }
    }

    // After a failed init no driver is current: every host operation answers ASE_NotPresent.
    void hostOperationsWithoutDriver()
    {
        long v[4] = {};
        ASIOBufferInfo buffers[2] = {};
        ASIOChannelInfo info{};
        ASIOSampleRate rate = 0;
        QVector<ASIOError> answers;
        answers << ASIOGetChannels(v, v + 1) << ASIOGetLatencies(v, v + 1)
                << ASIOGetBufferSize(v, v + 1, v + 2, v + 3)
                << ASIOCreateBuffers(buffers, 2, 512, nullptr) << ASIOGetChannelInfo(&info)
                << ASIOStart() << ASIOStop() << ASIOCanSampleRate(44100) << ASIOGetSampleRate(&rate)
                << ASIOSetSampleRate(44100) << ASIOGetSamplePosition(nullptr, nullptr)
                << ASIODisposeBuffers() << ASIOFuture(kAsioGetIoFormat, nullptr)
                << ASIOOutputReady();
        QCOMPARE(answers, QVector<ASIOError>(answers.size(), ASE_NotPresent));
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
        QCOMPARE(fields(info.name, info.errorMessage, info.driverVersion),
                 fields("Alpha Hardware", "No ASIO Driver Error", 42));

        script.initSucceeds = false;
        script.errorMessage = "device not connected";
        TestDriver::setScript(kAlpha, script);
        QVERIFY(load(kAlpha));
        QCOMPARE(ASIOInit(&info), ASIOError(ASE_NotPresent));
        QCOMPARE(fields(info.name, info.errorMessage),
                 fields("No ASIO Driver", "device not connected"));
        QVERIFY(!currentAsioDriver);
        // The instance stays open in the load list until its next change of driver.
        QVERIFY(load(kBeta));
        QCOMPARE(TestDriver::calls(kAlpha).last(), QString("Release"));

        // A driver module found through the class's server file; it stays loaded for the next
        // instantiation.
        QVERIFY(load(kModule));
        QCOMPARE(ASIOInit(&info), ASIOError(ASE_OK));
        QCOMPARE(fields(info.name, info.driverVersion), fields("Halvik Simulated Device", 1));
        QCOMPARE(ASIOExit(), ASIOError(ASE_OK));
        QVERIFY(load(kModule));
    }

    // The host state over a whole session: buffers created for the first two inputs and
    // outputs, switches delivered for every input with the half asked for (on the test's and on
    // a driver's thread), outputReady after each switch when supported, the time information
    // kept only where flagged valid, and bad halves ignored.
    void hostSessionDeliversEveryInput_data()
    {
        QTest::addColumn<long>("outputs"); // as many inputs, at least two
        QTest::addColumn<bool>("outputReady");
        QTest::newRow("8x8, 24 bit") << 8L << true;
        QTest::newRow("2 inputs, no outputs, no outputReady, 32 bit") << 0L << false;
    }

    void hostSessionDeliversEveryInput()
    {
        QFETCH(long, outputs);
        QFETCH(bool, outputReady);
        const long inputs = qMax(outputs, 2L), type = outputs ? ASIOSTInt24LSB : ASIOSTInt32LSB;
        TestDriverScript script;
        script.inputs = inputs;
        script.outputs = outputs;
        script.pcmSampleType = ASIOSampleType(type);
        script.preferredBufferSize = 256;
        script.outputReadyResult = outputReady ? ASE_OK : ASE_NotPresent;
        TestDriver::setScript(kHost, script);
        QVERIFY(load(kHost) && ASIOInit(&host().driverInfo) == ASE_OK);
        host().installAsioCallbacks();
        QVERIFY(initAsioStaticData(host()) == 0 && host().createAsioBuffers(host()) == ASE_OK);
        TestDriver* driver = TestDriver::current(kHost);
        QCOMPARE(fields(host().inputChannelCount, host().inputBufferCount, host().outputBufferCount,
                        driver->createdBufferSize(), host().inputLatency, host().outputLatency,
                        host().outputReadySupported),
                 fields(inputs, 2, outputs ? 2 : 0, 256, 512, 1024, outputReady));
        // The buffers the driver was asked for, inputs first, as "isInput channel". (The type
        // and the memory the host hands on show in the processor's record.)
        QStringList buffers;
        for (const ASIOBufferInfo& given : driver->createdBuffers())
            buffers << fields(given.isInput, given.channelNum);
        QCOMPARE(buffers, QStringList({"1 0", "1 1"}) +
                              (outputs ? QStringList{"0 0", "0 1"} : QStringList()));

        driver->fireBufferSwitch(0); // no processor yet: nothing to deliver to, nothing breaks
        RecordingProcessor processor;
        host().setBufferProcessor(&processor);
        // Per call: channel, half, the half of the channel's buffer pair handed over, thread.
        QStringList expected;
        for (long half : {0, 1, 0}) {
            driver->fireBufferSwitch(half);
            expected << fields(0, half, half, "test") << fields(1, half, half, "test");
        }
        std::thread([driver] {
            for (long half : {0, 1, 0, 1})
                driver->fireBufferSwitch(half);
        }).join();
        for (long half : {0, 1, 0, 1})
            expected << fields(0, half, half, "driver") << fields(1, half, half, "driver");
        QCOMPARE(processor.calls, expected);
        QCOMPARE(processor.sizesAndTypes, QSet<QString>{fields(256, type)});
        QCOMPARE(TestDriver::calls(kHost).count("outputReady"), outputReady ? 1 + 8 : 1);
        // The position of the last switch: seven buffers before it.
        QCOMPARE(host().lastSamplePosition, 7.0 * 256);
        QVERIFY(host().lastSystemTimeNs > 0);

        // A failed position query still delivers the buffers, with the position marked unknown.
        script.getSamplePositionResult = ASE_SPNotAdvancing;
        TestDriver::setScript(kHost, script);
        processor.calls.clear();
        driver->fireBufferSwitch(1);
        QCOMPARE(fields(processor.calls.size(), host().lastSystemTimeNs, host().lastSamplePosition,
                        host().lastTimeInfo.timeInfo.flags),
                 fields(2, 0, 0, 0));

        // Halves other than 0 and 1 are ignored; a null time record delivers without time.
        processor.calls.clear();
        driver->fireBufferSwitch(2);
        driver->fireBufferSwitch(-1);
        AsioHostState::bufferSwitchTimeInfo(nullptr, 1, ASIOTrue);
        ASIOTime t{};
        t.timeInfo = {1.0, {0, 1000000}, {1, 5}, 96000, kSamplePositionValid | kSampleRateValid,
                      {}};
        t.timeCode = {1.0, {2, 0}, kTcValid | kTcRunning, {}};
        QVERIFY(!AsioHostState::bufferSwitchTimeInfo(&t, 0, ASIOTrue));
        QCOMPARE(processor.calls, (QStringList{fields(0, 1, 1, "test"), fields(1, 1, 1, "test"),
                                               fields(0, 0, 0, "test"), fields(1, 0, 0, "test")}));
        // The system time is not flagged valid.
        QCOMPARE(fields(host().lastSamplePosition, host().lastSystemTimeNs,
                        host().lastTimeCodeSamples, host().lastTimeInfo.timeInfo.sampleRate),
                 fields(4294967296.0 + 5, 0, 2 * 4294967296.0, 96000));
        t.timeInfo.flags = kSystemTimeValid;
        t.timeCode.flags = kTcRunning;
        AsioHostState::bufferSwitchTimeInfo(&t, 0, ASIOTrue);
        QCOMPARE(
            fields(host().lastSamplePosition, host().lastSystemTimeNs, host().lastTimeCodeSamples),
            fields(0, 1000000, 0));
    }

    // A driver sends time information only to a host that says, both ways, it takes it; and
    // it may ask whether the host handles a reset or resync request before it sends one.
    void asioMessageReplies()
    {
        QList<long> replies;
        for (long value : {kAsioSupportsTimeInfo, kAsioResetRequest, kAsioResyncRequest})
            replies << AsioHostState::asioMessage(kAsioSelectorSupported, value, nullptr, nullptr);
        replies << AsioHostState::asioMessage(kAsioSupportsTimeInfo, 0, nullptr, nullptr);
        QCOMPARE(replies, (QList<long>{1, 1, 1, 1}));
    }

    // Set-up stops at the first failing query with its code; the static data keeps what was read
    // before it (inputs, preferred buffer size, rate); a failed creation leaves no buffers.
    void setUpReportsTheFirstFailingQuery()
    {
        using S = TestDriverScript;
        // read: inputs, preferred buffer size, rate, outputReady supported.
        const struct
        {
            ASIOError S::*result;
            ASIOError error;
            int staticCode;
            QString read;
        } steps[] = {{&S::getChannelsResult, ASE_NotPresent, -1, "0 99 0 0"},
                     {&S::getBufferSizeResult, ASE_HWMalfunction, -2, "6 99 0 0"},
                     {&S::getSampleRateResult, ASE_NoClock, -3, "6 512 0 0"},
                     {&S::getChannelInfoResult, ASE_InvalidParameter, 0, "6 512 96000 1"},
                     {&S::getLatenciesResult, ASE_HWMalfunction, 0, "6 512 96000 1"},
                     {&S::createBuffersResult, ASE_NoMemory, 0, "6 512 96000 1"}};
        for (const auto& step : steps) {
            TestDriverScript script;
            script.inputs = 6;
            script.initialRate = 96000;
            script.*step.result = step.error;
            TestDriver::setScript(kHost, script);
            QVERIFY(load(kHost));
            QCOMPARE(ASIOInit(&host().driverInfo), ASIOError(ASE_OK));
            AsioDriverData d;
            d.preferredBufferSize = 99;
            QCOMPARE(initAsioStaticData(d), step.staticCode);
            QCOMPARE(fields(d.inputChannelCount, d.preferredBufferSize, d.sampleRate,
                            d.outputReadySupported),
                     step.read);
            if (step.staticCode != 0)
                continue;
            host().installAsioCallbacks();
            QCOMPARE(initAsioStaticData(host()), 0);
            QCOMPARE(host().createAsioBuffers(host()), step.error);
            QCOMPARE(!host().bufferInfos[0].buffers[0], step.result == &S::createBuffersResult);
        }
    }
};

QTEST_GUILESS_MAIN(TestAsio)
#include "tst_asio.moc"
