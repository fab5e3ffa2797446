#ifndef TESSARO_ASIOTESTFIXTURE_H
#define TESSARO_ASIOTESTFIXTURE_H

#include <QString>
#include <QStringList>

// Process-wide set-up shared by the host layer tests. The load list behind loadAsioDriver
// reads the registry once, so every driver a test loads is registered here, before the first
// load: the built-in test drivers (in this order) and a registry file with the module driver
// and two entries whose instantiation fails.
//
// Threads: the test thread.
class AsioTestFixture
{
public:
    static constexpr const char* kAlpha = "Halvik Test Alpha";
    static constexpr const char* kBeta = "Halvik Test Beta";
    static constexpr const char* kLongName = "Test Device Whose Name Has Forty Letters";
    static constexpr const char* kHost = "Halvik Host Test";
    static constexpr const char* kModule = "Halvik Module Driver";
    static constexpr const char* kBrokenModule = "Broken Module";
    static constexpr const char* kUnparsable = "Unparsable Clsid";

    static void setUp(const QString& workDir);
    static QString workDir();
    static QString modulePath();

    // Names of the built-in classes, listed before every registry file entry.
    static QStringList builtinNames();
    static QStringList listedBuiltinNames();
    static void removeBuiltins();
    static void restoreBuiltins();

    // Writes a registry file in the work directory and makes it the registry to read.
    static QString useRegistry(const QString& fileName, const QString& text);
    static void restoreLoadRegistry();

    // Warnings issued while a capture is active.
    static void startCapturingWarnings();
    static QStringList stopCapturingWarnings();
};

#endif
