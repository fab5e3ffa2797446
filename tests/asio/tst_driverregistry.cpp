#include "tst_driverregistry.h"

#include "asiodrivers.h"
#include "asioplatform.h"
#include "asiotestfixture.h"
#include "testdriver.h"

#include <QtTest>
#include <cstring>

using F = AsioTestFixture;

namespace {

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

// A driver key with its class registered under a server file that exists.
QString registeredDriver(const QString& key, const QString& clsid, const QString& description)
{
    QString text = QStringLiteral("[HKLM\\software\\asio\\%1]\nclsid = %2\n").arg(key, clsid);
    if (!description.isNull())
        text += QStringLiteral("description = %1\n").arg(description);
    return text + QStringLiteral("[HKCR\\clsid\\%1\\InprocServer32]\n@ = %2\n")
                      .arg(clsid.toLower(), F::modulePath());
}

QString clsidNumber(int n)
{
    return QStringLiteral("{00000000-0000-0000-0000-%1}").arg(n, 12, 10, QLatin1Char('0'));
}

QStringList withBuiltins(const QStringList& fileNames)
{
    return F::listedBuiltinNames() + fileNames;
}

} // namespace

void TestDriverRegistry::init()
{
    ASIOExit();
    for (const QString& name : F::builtinNames().mid(0, 4)) {
        TestDriver::setScript(name, TestDriverScript());
        TestDriver::clearCalls(name);
    }
}

void TestDriverRegistry::cleanup()
{
    ASIOExit();
    F::restoreLoadRegistry();
}

void TestDriverRegistry::listsBuiltinsThenFileKeysInOrder()
{
    F::useRegistry("order.ini", registeredDriver("Zulu Card", clsidNumber(1), "Zulu Described") +
                                    registeredDriver("Alpha Card", clsidNumber(2), QString()) +
                                    registeredDriver("Mid Card", clsidNumber(3),
                                                     "\"  Spaced Name  \""));
    AsioDrivers drivers;
    QCOMPARE(listedNames(drivers),
             withBuiltins({"Zulu Described", "Alpha Card", "  Spaced Name  "}));
    QCOMPARE(drivers.entryCount(), F::builtinNames().size() + 3);

    QVector<QByteArray> storage(drivers.entryCount() + 2, QByteArray(32, 'X'));
    QVector<char*> pointers;
    for (QByteArray& b : storage)
        pointers << b.data();
    QCOMPARE(drivers.entryNames(pointers.data(), 2), 2L);
    QCOMPARE(QString(storage[1].constData()), QString(F::kBeta));
    QCOMPARE(storage[2], QByteArray(32, 'X'));
    QCOMPARE(drivers.entryNames(pointers.data(), 100), long(drivers.entryCount()));
    QCOMPARE(QString(storage[drivers.entryCount() - 1].constData()), QString("  Spaced Name  "));
}

void TestDriverRegistry::shortensAndBoundsNames()
{
    const QString forty = "Forty Character Description For Listing";  // 39 + 1 below
    QCOMPARE(forty.size() + 1, 40);
    const QString thirtyOne(31, QLatin1Char('a'));
    const QString thirtyTwo(32, QLatin1Char('b'));
    const QString twoHundred(200, QLatin1Char('c'));
    const QString threeHundred(300, QLatin1Char('d'));
    F::useRegistry("names.ini", registeredDriver("k40", clsidNumber(1), forty + "!") +
                                    registeredDriver("k31", clsidNumber(2), thirtyOne) +
                                    registeredDriver("k32", clsidNumber(3), thirtyTwo) +
                                    registeredDriver("k200", clsidNumber(4), twoHundred) +
                                    registeredDriver("k300", clsidNumber(5), threeHundred));
    AsioDrivers drivers;
    QCOMPARE(listedNames(drivers).mid(F::builtinNames().size()),
             QStringList({"Forty Character Description ...", thirtyOne,
                          QString(28, QLatin1Char('b')) + "...", QString(28, QLatin1Char('c')) + "...",
                          "k300"}));
    // The name field keeps 127 characters of a longer description.
    const int id200 = F::builtinNames().size() + 3;
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
}

void TestDriverRegistry::skipsBrokenKeysSilently()
{
    const QString missingFile = QDir(F::workDir()).filePath("no-such-driver.so");
    const QString text =
        registeredDriver("good one", clsidNumber(1), "Good One") +
        "[HKLM\\software\\asio\\no clsid]\ndescription = No Clsid\n" +
        "[HKLM\\software\\asio\\unregistered]\nclsid = " + clsidNumber(2) + "\n" +
        "[HKLM\\software\\asio\\no server key]\nclsid = " + clsidNumber(3) + "\n" +
        "[HKCR\\clsid\\" + clsidNumber(3) + "]\n" +
        "[HKLM\\software\\asio\\no server value]\nclsid = " + clsidNumber(4) + "\n" +
        "[HKCR\\clsid\\" + clsidNumber(4) + "\\InprocServer32]\nThreadingModel = Both\n" +
        "[HKLM\\software\\asio\\missing file]\nclsid = " + clsidNumber(5) + "\n" +
        "[HKCR\\clsid\\" + clsidNumber(5) + "\\InprocServer32]\n@ = " + missingFile + "\n" +
        "[HKLM\\software\\asio\\" + QString(130, QLatin1Char('L')) + "]\nclsid = " +
        clsidNumber(1) + "\n" + registeredDriver("text id", "some-text-id", "Text Id") +
        registeredDriver("good two", clsidNumber(6), "Good Two");
    F::useRegistry("broken.ini", text);
    F::startCapturingWarnings();
    AsioDrivers drivers;
    const QStringList warnings = F::stopCapturingWarnings();
    QCOMPARE(listedNames(drivers), withBuiltins({"Good One", "Text Id", "Good Two"}));
    // Only the key whose name does not fit the enumeration buffer is worth a message.
    QCOMPARE(warnings.size(), 1);
    QVERIFY(warnings.first().contains("127 characters"));

    // The entry whose class id text does not parse is listed but cannot be instantiated.
    IASIO* driver = nullptr;
    QCOMPARE(drivers.openDriver(idOf(drivers, "Text Id"), &driver), long(int32_t(0x80040154)));
    QVERIFY(!driver);
}

void TestDriverRegistry::findsClassIdsInAnyLetterCase()
{
    const QString upper = "{ABCDEF01-2345-6789-ABCD-EF0123456789}";
    const QString mixed = "{abcdef01-2345-6789-abcd-ef012345678a}";
    F::useRegistry("case.ini",
                   "[HKLM\\Software\\ASIO\\upper]\nclsid = " + upper +
                       "\ndescription = Upper Text\n"
                       "[HKCR\\CLSID\\" +
                       upper.toLower() + "\\inprocserver32]\n@ = " + F::modulePath() +
                       "\n"
                       "[HKLM\\software\\asio\\mixed]\nclsid = " +
                       mixed + "\ndescription = Mixed Key\n[HKCR\\clsid\\" +
                       "{AbCdEf01-2345-6789-aBcD-Ef012345678A}\\InprocServer32]\n@ = " +
                       F::modulePath() + "\n");
    AsioDrivers drivers;
    QCOMPARE(listedNames(drivers), withBuiltins({"Upper Text", "Mixed Key"}));
}

void TestDriverRegistry::emptyRegistryStartsNoRuntime()
{
    AsioPlatform& platform = AsioPlatform::instance();
    const int before = platform.componentRuntimeUsers();
    F::removeBuiltins();
    F::useRegistry("empty.ini", "[HKCR\\clsid\\" + clsidNumber(1) + "\\InprocServer32]\n@ = " +
                                    F::modulePath() + "\n");
    {
        AsioDrivers drivers;
        QCOMPARE(drivers.entryCount(), 0);
        QCOMPARE(platform.componentRuntimeUsers(), before);
        QVERIFY(!drivers.loadDriver(F::kAlpha));
        QVERIFY(!drivers.loadDriver(""));
    }
    F::useRegistry("empty-asio.ini", "[HKLM\\software\\asio]\n");
    {
        AsioDrivers drivers;
        QCOMPARE(drivers.entryCount(), 0);
        QCOMPARE(platform.componentRuntimeUsers(), before);
    }
    F::useRegistry("one.ini", registeredDriver("one", clsidNumber(1), "One"));
    {
        AsioDrivers drivers;
        QCOMPARE(drivers.entryCount(), 1);
        QCOMPARE(platform.componentRuntimeUsers(), before + 1);
    }
    QCOMPARE(platform.componentRuntimeUsers(), before);
    F::restoreBuiltins();
}

void TestDriverRegistry::reportsBadLinesAndKeepsTheRest()
{
    const QString text = "stray = before any key\n"                             // 1
                         "[HKLM\\software\\asio\\good]\n"                        // 2
                         "clsid = " + clsidNumber(1) + "\n"                      // 3
                         "this line has no equals sign\n"                       // 4
                         "= nameless\n"                                          // 5
                         "description = \"Good Driver\"\n"                       // 6
                         "note = \"unterminated\n"                               // 7
                         "[HKLM\\software\\asio\\unclosed\n"                     // 8
                         "clsid = " + clsidNumber(2) + "\n"                      // 9
                         "[NOWHERE\\software\\asio\\x]\n"                        // 10
                         "[HKLM\\software\\\\asio]\n"                             // 11
                         "[HKCR\\clsid\\" + clsidNumber(1) + "\\InprocServer32]\n" // 12
                         "@ = " + F::modulePath() + "\n";                        // 13
    const QString path = F::useRegistry("bad.ini", text);
    F::startCapturingWarnings();
    AsioDrivers drivers;
    const QStringList warnings = F::stopCapturingWarnings();
    QCOMPARE(listedNames(drivers), withBuiltins({"Good Driver"}));
    QStringList lines;
    for (const QString& w : warnings) {
        QVERIFY2(w.contains(path), qPrintable(w));
        lines << w.section(':', 1, 1);
    }
    // One driver list reads the file once, so each fault is reported once.
    QCOMPARE(lines, QStringList({"1", "4", "5", "7", "8", "10", "11"}));

    qputenv("TESSARO_ASIO_REGISTRY", QFile::encodeName(QDir(F::workDir()).filePath("none.ini")));
    F::startCapturingWarnings();
    AsioDrivers builtinsOnly;
    QVERIFY(!F::stopCapturingWarnings().isEmpty());
    QCOMPARE(listedNames(builtinsOnly), F::listedBuiltinNames());
}

void TestDriverRegistry::openAndCloseAnswerTheirCodes()
{
    AsioDrivers drivers;
    const int alpha = idOf(drivers, F::kAlpha);
    IASIO* driver = nullptr;
    QCOMPARE(drivers.openDriver(alpha, nullptr), long(DRVERR_INVALID_PARAM));
    QCOMPARE(drivers.openDriver(999, &driver), long(DRVERR_DEVICE_NOT_FOUND));
    QCOMPARE(drivers.openDriver(alpha, &driver), 0L);
    QVERIFY(driver);
    QCOMPARE(driver, static_cast<IASIO*>(TestDriver::current(F::kAlpha)));
    IASIO* second = nullptr;
    QCOMPARE(drivers.openDriver(alpha, &second), long(DRVERR_DEVICE_ALREADY_OPEN));
    QVERIFY(!second);
    QCOMPARE(drivers.closeDriver(alpha), 0L);
    QCOMPARE(TestDriver::calls(F::kAlpha), QStringList({"create", "Release"}));
    QVERIFY(!TestDriver::current(F::kAlpha));
    QCOMPARE(drivers.closeDriver(alpha), 0L);
    QCOMPARE(drivers.closeDriver(999), 0L);

    F::startCapturingWarnings();
    QCOMPARE(drivers.openDriver(idOf(drivers, F::kBrokenModule), &driver),
             long(int32_t(0x80004005)));
    QVERIFY(F::stopCapturingWarnings().join('\n').contains("cannot be loaded"));
}

void TestDriverRegistry::destructionReleasesOpenInstances()
{
    {
        AsioDrivers drivers;
        IASIO* a = nullptr;
        IASIO* b = nullptr;
        QCOMPARE(drivers.openDriver(idOf(drivers, F::kAlpha), &a), 0L);
        QCOMPARE(drivers.openDriver(idOf(drivers, F::kBeta), &b), 0L);
    }
    QCOMPARE(TestDriver::calls(F::kAlpha), QStringList({"create", "Release"}));
    QCOMPARE(TestDriver::calls(F::kBeta), QStringList({"create", "Release"}));
}

void TestDriverRegistry::loadingTheCurrentDriverReopensIt()
{
    QVERIFY(loadAsioDriver(F::kAlpha));
    QCOMPARE(currentAsioDriver, static_cast<IASIO*>(TestDriver::current(F::kAlpha)));
    TestDriver::clearCalls(F::kAlpha);
    QVERIFY(loadAsioDriver(F::kAlpha));
    QCOMPARE(TestDriver::calls(F::kAlpha), QStringList({"Release", "create"}));
    QCOMPARE(currentAsioDriver, static_cast<IASIO*>(TestDriver::current(F::kAlpha)));
}

void TestDriverRegistry::failedLoadRestoresThePreviousDriver()
{
    QVERIFY(loadAsioDriver(F::kAlpha));
    TestDriver::clearCalls(F::kAlpha);
    QVERIFY(!loadAsioDriver(F::kUnparsable));
    QCOMPARE(TestDriver::calls(F::kAlpha), QStringList({"Release", "create"}));
    QVERIFY(currentAsioDriver);
    QCOMPARE(currentAsioDriver, static_cast<IASIO*>(TestDriver::current(F::kAlpha)));

    // The restored driver is the load list's current one: exiting releases it.
    QCOMPARE(ASIOExit(), ASIOError(ASE_OK));
    QVERIFY(!TestDriver::current(F::kAlpha));

    // Without a previous driver a failed load leaves none.
    F::startCapturingWarnings();
    QVERIFY(!loadAsioDriver(F::kBrokenModule));
    F::stopCapturingWarnings();
    QVERIFY(!currentAsioDriver);
}

void TestDriverRegistry::unknownNameLeavesTheCurrentDriver()
{
    QVERIFY(loadAsioDriver(F::kBeta));
    IASIO* before = currentAsioDriver;
    TestDriver::clearCalls(F::kBeta);
    QVERIFY(!loadAsioDriver("No Such Driver"));
    QVERIFY(!loadAsioDriver("halvik test beta"));  // names compare case-sensitively
    QCOMPARE(currentAsioDriver, before);
    QVERIFY(TestDriver::calls(F::kBeta).isEmpty());
}

void TestDriverRegistry::loadsOnlyTheShortenedLongName()
{
    QVERIFY(!loadAsioDriver(F::kLongName));
    QVERIFY(loadAsioDriver("Test Device Whose Name Has F..."));
    QCOMPARE(currentAsioDriver, static_cast<IASIO*>(TestDriver::current(F::kLongName)));
}

void TestDriverRegistry::hostOperationsWithoutDriver()
{
    QVERIFY(loadAsioDriver(F::kAlpha));
    QCOMPARE(ASIOExit(), ASIOError(ASE_OK));
    QVERIFY(!currentAsioDriver);
    QCOMPARE(TestDriver::calls(F::kAlpha).last(), QString("Release"));
    QCOMPARE(ASIOExit(), ASIOError(ASE_OK));

    const ASIOError none = ASE_NotPresent;
    long a = 7, b = 7, c = 7, d = 7;
    QCOMPARE(ASIOGetChannels(&a, &b), none);
    QCOMPARE(a + b, 0L);
    a = b = 7;
    QCOMPARE(ASIOGetLatencies(&a, &b), none);
    QCOMPARE(a + b, 0L);
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
    QVERIFY(!buffers[0].buffers[0] && !buffers[0].buffers[1]);
    QVERIFY(!buffers[1].buffers[0] && !buffers[1].buffers[1]);
    ASIOSampleRate rate = 1;
    ASIOSamples position{};
    ASIOTimeStamp stamp{};
    ASIOIoFormat format{};
    QCOMPARE(ASIOStart(), none);
    QCOMPARE(ASIOStop(), none);
    QCOMPARE(ASIOCanSampleRate(44100), none);
    QCOMPARE(ASIOGetSampleRate(&rate), none);
    QCOMPARE(ASIOSetSampleRate(44100), none);
    QCOMPARE(ASIOGetSamplePosition(&position, &stamp), none);
    QCOMPARE(ASIODisposeBuffers(), none);
    QCOMPARE(ASIOFuture(kAsioGetIoFormat, &format), none);
    QCOMPARE(ASIOOutputReady(), none);

    ASIODriverInfo driverInfo{};
    driverInfo.driverVersion = 5;
    QCOMPARE(ASIOInit(&driverInfo), none);
    QCOMPARE(driverInfo.driverVersion, 0L);
    QCOMPARE(QString(driverInfo.name), QString("No ASIO Driver"));
}

void TestDriverRegistry::failedInitFillsTheErrorMessage()
{
    TestDriverScript script;
    script.initSucceeds = false;
    script.errorMessage = "device not connected";
    TestDriver::setScript(F::kAlpha, script);
    QVERIFY(loadAsioDriver(F::kAlpha));
    ASIODriverInfo info{};
    QCOMPARE(ASIOInit(&info), ASIOError(ASE_NotPresent));
    QCOMPARE(QString(info.errorMessage), QString("device not connected"));
    QCOMPARE(QString(info.name), QString("No ASIO Driver"));
    QVERIFY(!currentAsioDriver);
    // The instance stays open in the load list until its next change of driver.
    QVERIFY(TestDriver::current(F::kAlpha));
    QVERIFY(loadAsioDriver(F::kBeta));
    QVERIFY(!TestDriver::current(F::kAlpha));
    QCOMPARE(TestDriver::calls(F::kAlpha).last(), QString("Release"));
}

void TestDriverRegistry::successfulInitFillsTheDriverInfo()
{
    TestDriverScript script;
    script.driverName = "Alpha Hardware";
    script.driverVersion = 42;
    TestDriver::setScript(F::kAlpha, script);
    QVERIFY(loadAsioDriver(F::kAlpha));
    ASIODriverInfo info{};
    QCOMPARE(ASIOInit(&info), ASIOError(ASE_OK));
    QCOMPARE(QString(info.name), QString("Alpha Hardware"));
    QCOMPARE(info.driverVersion, 42L);
    QCOMPARE(QString(info.errorMessage), QString("No ASIO Driver Error"));
    QCOMPARE(TestDriver::calls(F::kAlpha).mid(1, 3),
             QStringList({"init", "getDriverName", "getDriverVersion"}));
}

void TestDriverRegistry::loadsADriverModule()
{
    QVERIFY(loadAsioDriver(F::kModule));
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
    QVERIFY(loadAsioDriver(F::kModule));
}
