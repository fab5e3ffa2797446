#ifndef TESSARO_BUILTINDRIVERS_H
#define TESSARO_BUILTINDRIVERS_H

#include "iasio.h"

#include <QList>
#include <QString>
#include <functional>

// A driver class compiled into the recorder. The Linux registry lists each one under
// "software\asio\<keyName>" with its clsid and description, and registers the clsid under the
// classes root with the recorder's own executable as its "InprocServer32" path.
struct BuiltinDriverClass
{
    QString keyName;
    QString clsid;                  // "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}"
    QString description;            // becomes the driver's name in the driver list
    std::function<IASIO*()> create; // new instance holding one reference
};

// The table of built-in classes. Providers are asked for their classes each time a registry
// is built, so a provider that enumerates hardware (one class per sound card) sees the
// machine as it is when the driver list is constructed.
//
// Threads: GUI thread only; providers are added at start-up before any driver list exists.
class BuiltinDrivers
{
public:
    using Provider = std::function<QList<BuiltinDriverClass>()>;

    static void addProvider(const QString& id, const Provider& provider); // replaces same id
    static void removeProvider(const QString& id);
    static QList<BuiltinDriverClass> classes(); // all providers, in the order they were added
};

#endif
