#ifndef TESSARO_LINUXASIOPLATFORM_H
#define TESSARO_LINUXASIOPLATFORM_H

#include "asioplatform.h"
#include "asioregistry.h"

#include <QHash>
#include <QString>
#include <atomic>
#include <memory>

// The driver registry, instantiation and file test on Linux.
//
// Registry: an AsioRegistry read afresh (built-in classes plus registry file) whenever a root
// key is opened while no other key is open, so one enumeration of the driver list sees one
// consistent picture and a later driver list sees the machine as it is then. Names cross this
// interface as Latin-1 text.
//
// Instantiation: a class id of the built-in table is created directly; any other class id is
// looked up under "clsid\<id>\InprocServer32" and that file is loaded as a driver module
// (dlopen) whose exported TESSARO_ASIO_DRIVER_FACTORY function creates the instance. Modules
// stay loaded until the process ends, since a released driver may still have code running.
//
// The component runtime has nothing to start on Linux; its users are counted so the driver
// list's pairing of start and end is observable.
//
// Threads: GUI thread, except componentRuntimeUsers, which any thread may read.
class LinuxAsioPlatform : public AsioPlatform
{
public:
    LinuxAsioPlatform();
    ~LinuxAsioPlatform() override;

    bool openKey(Root root, const char* path, Key* key) override;
    bool openSubKey(Key parent, const char* path, Key* key) override;
    EnumResult enumKey(Key key, int index, char* name, int size) override;
    bool queryStringValue(Key key, const char* valueName, char* buffer, int size) override;
    void closeKey(Key key) override;

    long createInstance(const AsioClassId& clsid, IASIO** driver) override;
    bool fileExists(const char* path) override;

    bool startComponentRuntime() override;
    void endComponentRuntime() override;
    int componentRuntimeUsers() const override;

private:
    long createModuleInstance(const QString& clsidText, IASIO** driver);
    void* loadModule(const QString& path);

    std::unique_ptr<AsioRegistry> m_registry;
    int m_openKeys = 0;
    QHash<QString, void*> m_modules;
    std::atomic<int> m_runtimeUsers{0};
};

#endif
