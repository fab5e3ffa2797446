#ifndef TESSARO_ASIOREGISTRY_H
#define TESSARO_ASIOREGISTRY_H

#include "asioplatform.h"
#include "asioregistrykey.h"
#include "builtindrivers.h"

#include <QString>
#include <memory>

// The Linux stand-in for the system registry of drivers: a tree with a local-machine root and
// a classes root. `fromEnvironment` fills it with the built-in driver classes and then with
// the driver registry file, whose keys are added after (and merged into) the built-in ones.
//
// The file is $TESSARO_ASIO_REGISTRY when that variable is set (an empty value means no
// file), otherwise "Veloran/asio-registry.ini" in the user's configuration directory
// ($XDG_CONFIG_HOME, else ~/.config). Its format, line by line:
//
//   # comment (also ;)
//   [HKEY_LOCAL_MACHINE\software\asio\My Card]     a key, created with its parents
//   clsid = {0e4a4c5e-13b1-4d0c-9a4e-5b1f8a2c7d01}   a string value
//   description = "  quoted keeps blanks, \" and \\ escapes"
//   [HKEY_CLASSES_ROOT\clsid\{0e4a4c5e-13b1-4d0c-9a4e-5b1f8a2c7d01}\InprocServer32]
//   @ = /usr/local/lib/tessaro/mycard.so              @ names the default value
//
// HKLM and HKCR abbreviate the roots. A key may be listed without values (a broken driver
// entry the list must skip). A line that cannot be read is reported with its file and line
// number through qWarning and ignored; value lines under an unreadable section are ignored too.
//
// Threads: built and read by one thread at a time (see LinuxAsioPlatform).
class AsioRegistry
{
public:
    AsioRegistry();

    AsioRegistryKey* root(AsioPlatform::Root root);
    // The key at a backslash-separated path below a root, or null.
    AsioRegistryKey* findKey(AsioPlatform::Root root, const QString& path);

    // Lists each class under "software\asio" and its clsid under "clsid" with serverPath as
    // the "InprocServer32" default value.
    void addBuiltinClasses(const QList<BuiltinDriverClass>& classes, const QString& serverPath);
    // Adds the keys of a registry file; false when it cannot be opened.
    bool readFile(const QString& path);
    // Adds the keys of registry text; `origin` names the source in messages.
    void readText(const QString& text, const QString& origin);

    // The built-in classes plus the registry file, as described above.
    static std::unique_ptr<AsioRegistry> fromEnvironment();
    static QString userFilePath();
    static QString ownExecutablePath();

private:
    AsioRegistryKey* openSection(const QString& header, QString* problem);
    bool readValueLine(const QString& line, AsioRegistryKey* key, QString* problem);

    AsioRegistryKey m_localMachine;
    AsioRegistryKey m_classesRoot;
};

#endif
