#include "linuxasioplatform.h"

#include "asioclassid.h"
#include "builtindrivers.h"

#include <QFileInfo>
#include <cstring>
#include <dlfcn.h>

namespace {

AsioRegistryKey* keyOf(AsioPlatform::Key key)
{
    return static_cast<AsioRegistryKey*>(key);
}

AsioRegistryKey* descend(AsioRegistryKey* key, const char* path)
{
    for (const QString& part :
         QString::fromLatin1(path).split(QLatin1Char('\\'), Qt::SkipEmptyParts)) {
        if (!key)
            break;
        key = key->subkey(part);
    }
    return key;
}

// Copies text with its terminating zero; false when it does not fit.
bool copyLatin1(const QString& text, char* buffer, int size)
{
    const QByteArray bytes = text.toLatin1();
    if (!buffer || bytes.size() + 1 > size)
        return false;
    memcpy(buffer, bytes.constData(), size_t(bytes.size()) + 1);
    return true;
}

} // namespace

AsioPlatform& AsioPlatform::instance()
{
    static LinuxAsioPlatform platform;
    return platform;
}

LinuxAsioPlatform::LinuxAsioPlatform() = default;
LinuxAsioPlatform::~LinuxAsioPlatform() = default;

bool LinuxAsioPlatform::openKey(Root root, const char* path, Key* key)
{
    if (!key)
        return false;
    if (m_openKeys == 0)
        m_registry = AsioRegistry::fromEnvironment();
    AsioRegistryKey* found = descend(m_registry->root(root), path ? path : "");
    if (!found)
        return false;
    ++m_openKeys;
    *key = found;
    return true;
}

bool LinuxAsioPlatform::openSubKey(Key parent, const char* path, Key* key)
{
    if (!parent || !key)
        return false;
    AsioRegistryKey* found = descend(keyOf(parent), path ? path : "");
    if (!found)
        return false;
    ++m_openKeys;
    *key = found;
    return true;
}

AsioPlatform::EnumResult LinuxAsioPlatform::enumKey(Key key, int index, char* name, int size)
{
    const AsioRegistryKey* sub = key ? keyOf(key)->subkeyAt(index) : nullptr;
    if (!sub)
        return EnumResult::End;
    return copyLatin1(sub->name(), name, size) ? EnumResult::Ok : EnumResult::NameTooLong;
}

bool LinuxAsioPlatform::queryStringValue(Key key, const char* valueName, char* buffer, int size)
{
    const QString name = QString::fromLatin1(valueName ? valueName : "");
    if (!key || !keyOf(key)->hasValue(name))
        return false;
    return copyLatin1(keyOf(key)->value(name), buffer, size);
}

void LinuxAsioPlatform::closeKey(Key key)
{
    if (key && m_openKeys > 0)
        --m_openKeys;
}

long LinuxAsioPlatform::createInstance(const AsioClassId& clsid, IASIO** driver)
{
    if (!driver)
        return ModuleFailed;
    *driver = nullptr;
    const QString text = asioClassIdText(clsid);
    for (const BuiltinDriverClass& c : BuiltinDrivers::classes()) {
        if (c.clsid.compare(text, Qt::CaseInsensitive) == 0) {
            *driver = c.create ? c.create() : nullptr;
            return *driver ? 0 : ModuleFailed;
        }
    }
    return createModuleInstance(text, driver);
}

long LinuxAsioPlatform::createModuleInstance(const QString& clsidText, IASIO** driver)
{
    const std::unique_ptr<AsioRegistry> registry = AsioRegistry::fromEnvironment();
    const AsioRegistryKey* server = registry->findKey(
        Root::ClassesRoot, QStringLiteral("clsid\\%1\\InprocServer32").arg(clsidText));
    if (!server || server->value(QString()).isEmpty())
        return ClassNotRegistered;
    const QString path = server->value(QString());
    if (QFileInfo(path).canonicalFilePath() == AsioRegistry::ownExecutablePath()) {
        qWarning("driver class %s is not built into this program", qPrintable(clsidText));
        return ClassNotRegistered;
    }
    void* module = loadModule(path);
    if (!module)
        return ModuleFailed;
    auto factory =
        reinterpret_cast<TessaroCreateAsioDriverFn>(dlsym(module, TESSARO_ASIO_DRIVER_FACTORY));
    if (!factory) {
        qWarning("driver module %s does not export %s", qPrintable(path),
                 TESSARO_ASIO_DRIVER_FACTORY);
        return ModuleFailed;
    }
    *driver = factory(clsidText.toLatin1().constData());
    return *driver ? 0 : ClassNotRegistered;
}

void* LinuxAsioPlatform::loadModule(const QString& path)
{
    if (void* loaded = m_modules.value(path))
        return loaded;
    void* module = dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        qWarning("driver module %s cannot be loaded: %s", qPrintable(path), dlerror());
        return nullptr;
    }
    m_modules.insert(path, module);
    return module;
}

bool LinuxAsioPlatform::fileExists(const char* path)
{
    return path && *path && QFileInfo(QString::fromLatin1(path)).isFile();
}

bool LinuxAsioPlatform::startComponentRuntime()
{
    ++m_runtimeUsers;
    return true;
}

void LinuxAsioPlatform::endComponentRuntime()
{
    --m_runtimeUsers;
}

int LinuxAsioPlatform::componentRuntimeUsers() const
{
    return m_runtimeUsers;
}
