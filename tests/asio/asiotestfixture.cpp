#include "asiotestfixture.h"

#include "asiodrivers.h"
#include "builtindrivers.h"
#include "simulateddriver.h"
#include "testdriver.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QTextStream>

namespace {

QString g_workDir;
QString g_loadRegistry;
QMutex g_warningsMutex;
QStringList g_warnings;
QtMessageHandler g_previousHandler = nullptr;

void captureWarning(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (type == QtWarningMsg) {
        QMutexLocker lock(&g_warningsMutex);
        g_warnings << text;
    }
    if (g_previousHandler)
        g_previousHandler(type, context, text);
}

QString loadRegistryText()
{
    const QString module = AsioTestFixture::modulePath();
    return QStringLiteral("[HKLM\\software\\asio\\module]\n"
                          "clsid = {9B1F3C2A-4D5E-4F60-8A7B-1C2D3E4F5A6B}\n"
                          "description = Halvik Module Driver\n"
                          "[HKCR\\clsid\\{9b1f3c2a-4d5e-4f60-8a7b-1c2d3e4f5a6b}\\InprocServer32]\n"
                          "@ = %1\n"
                          "[HKLM\\software\\asio\\broken module]\n"
                          "clsid = {11111111-2222-3333-4444-555555555555}\n"
                          "description = Broken Module\n"
                          "[HKCR\\clsid\\{11111111-2222-3333-4444-555555555555}\\InprocServer32]\n"
                          "@ = %2\n"
                          "[HKLM\\software\\asio\\unparsable]\n"
                          "clsid = not-a-clsid\n"
                          "description = Unparsable Clsid\n"
                          "[HKCR\\clsid\\not-a-clsid\\InprocServer32]\n"
                          "@ = %1\n")
        .arg(module, QDir(g_workDir).filePath(QStringLiteral("load-registry.ini")));
}

} // namespace

void AsioTestFixture::setUp(const QString& workDir)
{
    g_workDir = workDir;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(QDir(workDir).filePath("config")));
    qputenv("TESSARO_SIMULATED_UNPLUG_FILE", QFile::encodeName(QDir(workDir).filePath("unplug")));
    restoreBuiltins();
    g_loadRegistry = useRegistry(QStringLiteral("load-registry.ini"), loadRegistryText());
    loadAsioDriver("");  // builds the load list now, with everything above in it
}

QString AsioTestFixture::workDir()
{
    return g_workDir;
}

QString AsioTestFixture::modulePath()
{
    return QStringLiteral(TESSARO_TEST_MODULE_PATH);
}

QStringList AsioTestFixture::builtinNames()
{
    return {kAlpha, kBeta, kLongName, kHost, SimulatedDriver::kDescription};
}

QStringList AsioTestFixture::listedBuiltinNames()
{
    // As the driver list hands them out: longer names come back as 28 characters and "...".
    QStringList names;
    for (const QString& name : builtinNames())
        names << (name.size() >= 32 ? name.left(28) + QStringLiteral("...") : name);
    return names;
}

void AsioTestFixture::removeBuiltins()
{
    for (const QString& name : builtinNames().mid(0, 4))
        TestDriver::unregisterDriver(name);
    BuiltinDrivers::removeProvider(QStringLiteral("simulated"));
}

void AsioTestFixture::restoreBuiltins()
{
    for (const QString& name : builtinNames().mid(0, 4))
        TestDriver::registerDriver(name);
    registerSimulatedDriver();
}

QString AsioTestFixture::useRegistry(const QString& fileName, const QString& text)
{
    const QString path = QDir(g_workDir).filePath(fileName);
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        QTextStream out(&file);
        out.setCodec("UTF-8");
        out << text;
    }
    qputenv("TESSARO_ASIO_REGISTRY", QFile::encodeName(path));
    return path;
}

void AsioTestFixture::restoreLoadRegistry()
{
    qputenv("TESSARO_ASIO_REGISTRY", QFile::encodeName(g_loadRegistry));
}

void AsioTestFixture::startCapturingWarnings()
{
    {
        QMutexLocker lock(&g_warningsMutex);
        g_warnings.clear();
    }
    g_previousHandler = qInstallMessageHandler(captureWarning);
}

QStringList AsioTestFixture::stopCapturingWarnings()
{
    qInstallMessageHandler(g_previousHandler);
    g_previousHandler = nullptr;
    QMutexLocker lock(&g_warningsMutex);
    return g_warnings;
}
