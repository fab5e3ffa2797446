#include "asioregistry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringList>
#include <QTextStream>

namespace {

const int kMaxKeyNameLength = 255;
const char* const kRegistryVariable = "TESSARO_ASIO_REGISTRY";

bool parseRootName(const QString& name, AsioPlatform::Root* root)
{
    const QString upper = name.toUpper();
    if (upper == QLatin1String("HKEY_LOCAL_MACHINE") || upper == QLatin1String("HKLM")) {
        *root = AsioPlatform::Root::LocalMachine;
        return true;
    }
    if (upper == QLatin1String("HKEY_CLASSES_ROOT") || upper == QLatin1String("HKCR")) {
        *root = AsioPlatform::Root::ClassesRoot;
        return true;
    }
    return false;
}

// The text between double quotes with \" and \\ unescaped; false when unterminated.
bool unquote(const QString& quoted, QString* text)
{
    text->clear();
    for (int i = 1; i < quoted.size(); ++i) {
        const QChar c = quoted[i];
        if (c == QLatin1Char('"'))
            return i == quoted.size() - 1;
        if (c == QLatin1Char('\\') && i + 1 < quoted.size())
            *text += quoted[++i];
        else
            *text += c;
    }
    return false;
}

} // namespace

AsioRegistry::AsioRegistry()
    : m_localMachine(QStringLiteral("HKEY_LOCAL_MACHINE")),
      m_classesRoot(QStringLiteral("HKEY_CLASSES_ROOT"))
{}

AsioRegistryKey* AsioRegistry::root(AsioPlatform::Root root)
{
    return root == AsioPlatform::Root::LocalMachine ? &m_localMachine : &m_classesRoot;
}

AsioRegistryKey* AsioRegistry::findKey(AsioPlatform::Root rootKey, const QString& path)
{
    AsioRegistryKey* key = root(rootKey);
    for (const QString& part : path.split(QLatin1Char('\\'), Qt::SkipEmptyParts)) {
        key = key->subkey(part);
        if (!key)
            return nullptr;
    }
    return key;
}

void AsioRegistry::addBuiltinClasses(const QList<BuiltinDriverClass>& classes,
                                     const QString& serverPath)
{
    AsioRegistryKey* drivers =
        m_localMachine.addSubkey(QStringLiteral("software"))->addSubkey(QStringLiteral("asio"));
    AsioRegistryKey* clsids = m_classesRoot.addSubkey(QStringLiteral("clsid"));
    for (const BuiltinDriverClass& c : classes) {
        AsioRegistryKey* driver = drivers->addSubkey(c.keyName);
        driver->setValue(QStringLiteral("clsid"), c.clsid);
        driver->setValue(QStringLiteral("description"), c.description);
        clsids->addSubkey(c.clsid)
            ->addSubkey(QStringLiteral("InprocServer32"))
            ->setValue(QString(), serverPath);
    }
}

bool AsioRegistry::readFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qWarning("driver registry file %s cannot be read: %s", qPrintable(path),
                 qPrintable(file.errorString()));
        return false;
    }
    QTextStream in(&file);
    in.setCodec("UTF-8");
    readText(in.readAll(), path);
    return true;
}

void AsioRegistry::readText(const QString& text, const QString& origin)
{
    AsioRegistryKey* section = nullptr;
    bool sectionBroken = false;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = lines[i].trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')) ||
            line.startsWith(QLatin1Char(';')))
            continue;
        QString problem;
        if (line.startsWith(QLatin1Char('['))) {
            section = openSection(line, &problem);
            sectionBroken = !section;
        } else if (!section) {
            if (!sectionBroken)
                problem = QStringLiteral("value outside of any [key] section");
        } else {
            readValueLine(line, section, &problem);
        }
        if (!problem.isEmpty())
            qWarning("driver registry %s:%d: %s; line ignored", qPrintable(origin), i + 1,
                     qPrintable(problem));
    }
}

AsioRegistryKey* AsioRegistry::openSection(const QString& header, QString* problem)
{
    if (!header.endsWith(QLatin1Char(']'))) {
        *problem = QStringLiteral("key section without closing bracket");
        return nullptr;
    }
    const QStringList parts = header.mid(1, header.size() - 2).split(QLatin1Char('\\'));
    AsioPlatform::Root rootKey;
    if (!parseRootName(parts.first().trimmed(), &rootKey)) {
        *problem = QStringLiteral("key must start with HKEY_LOCAL_MACHINE or HKEY_CLASSES_ROOT");
        return nullptr;
    }
    for (const QString& part : parts) {
        if (part.isEmpty() || part.size() > kMaxKeyNameLength) {
            *problem =
                QStringLiteral("key names must have 1 to %1 characters").arg(kMaxKeyNameLength);
            return nullptr;
        }
    }
    AsioRegistryKey* key = root(rootKey);
    for (int i = 1; i < parts.size(); ++i)
        key = key->addSubkey(parts[i]);
    return key;
}

bool AsioRegistry::readValueLine(const QString& line, AsioRegistryKey* key, QString* problem)
{
    const int equals = line.indexOf(QLatin1Char('='));
    if (equals < 0) {
        *problem = QStringLiteral("expected name = value");
        return false;
    }
    QString name = line.left(equals).trimmed();
    if (name.isEmpty()) {
        *problem = QStringLiteral("value without a name (use @ for the default value)");
        return false;
    }
    if (name == QLatin1String("@"))
        name.clear();
    QString value = line.mid(equals + 1).trimmed();
    if (value.startsWith(QLatin1Char('"'))) {
        QString text;
        if (!unquote(value, &text)) {
            *problem = QStringLiteral("unterminated quoted value");
            return false;
        }
        value = text;
    }
    key->setValue(name, value);
    return true;
}

std::unique_ptr<AsioRegistry> AsioRegistry::fromEnvironment()
{
    auto registry = std::make_unique<AsioRegistry>();
    registry->addBuiltinClasses(BuiltinDrivers::classes(), ownExecutablePath());
    if (qEnvironmentVariableIsSet(kRegistryVariable)) {
        const QString path = qEnvironmentVariable(kRegistryVariable);
        if (!path.isEmpty())
            registry->readFile(path);
    } else if (QFileInfo::exists(userFilePath())) {
        registry->readFile(userFilePath());
    }
    return registry;
}

QString AsioRegistry::userFilePath()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation))
        .filePath(QStringLiteral("Veloran/asio-registry.ini"));
}

QString AsioRegistry::ownExecutablePath()
{
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
}
