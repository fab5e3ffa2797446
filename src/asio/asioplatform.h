#ifndef TESSARO_ASIOPLATFORM_H
#define TESSARO_ASIOPLATFORM_H

#include "asiodrivers.h"

// What the driver list needs of the operating system: a registry of installed drivers with a
// local-machine root (driver keys under "software\asio") and a classes root (class ids under
// "clsid"), the instantiation of a driver class, a file-existence test, and the component
// runtime that must be running while driver instances exist. The driver list's algorithms are
// written once against this interface; each platform supplies one implementation.
//
// Threads: GUI thread only (the driver list is the only caller).
class AsioPlatform
{
public:
    enum class Root
    {
        LocalMachine,
        ClassesRoot
    };
    enum class EnumResult
    {
        Ok,
        End,
        NameTooLong
    };
    using Key = void*;

    // Error codes of a failed instantiation (the values a COM runtime would answer).
    static constexpr long ClassNotRegistered = -2147221164; // 0x80040154
    static constexpr long ModuleFailed = -2147467259;       // 0x80004005

    virtual ~AsioPlatform() = default;

    // The platform of this process (on Linux a LinuxAsioPlatform).
    static AsioPlatform& instance();

    virtual bool openKey(Root root, const char* path, Key* key) = 0;
    virtual bool openSubKey(Key parent, const char* path, Key* key) = 0;
    // Name of subkey `index` into buffer (size bytes with the terminating zero).
    virtual EnumResult enumKey(Key key, int index, char* name, int size) = 0;
    // A string value; an empty valueName reads the key's default value. Fails when the value
    // is missing or does not fit the buffer with its terminating zero.
    virtual bool queryStringValue(Key key, const char* valueName, char* buffer, int size) = 0;
    virtual void closeKey(Key key) = 0;

    // 0 and a new instance holding one reference, or an error code.
    virtual long createInstance(const AsioClassId& clsid, IASIO** driver) = 0;
    virtual bool fileExists(const char* path) = 0;

    // Counted: every successful start is matched by one end.
    virtual bool startComponentRuntime() = 0;
    virtual void endComponentRuntime() = 0;
    virtual int componentRuntimeUsers() const = 0;
};

#endif
