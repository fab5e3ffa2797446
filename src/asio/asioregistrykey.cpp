#include "asioregistrykey.h"

namespace {

bool sameName(const QString& a, const QString& b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

} // namespace

AsioRegistryKey* AsioRegistryKey::subkey(const QString& name) const
{
    for (const auto& key : m_subkeys) {
        if (sameName(key->name(), name))
            return key.get();
    }
    return nullptr;
}

AsioRegistryKey* AsioRegistryKey::subkeyAt(int index) const
{
    if (index < 0 || index >= subkeyCount())
        return nullptr;
    return m_subkeys[size_t(index)].get();
}

AsioRegistryKey* AsioRegistryKey::addSubkey(const QString& name)
{
    if (AsioRegistryKey* existing = subkey(name))
        return existing;
    m_subkeys.push_back(std::make_unique<AsioRegistryKey>(name));
    return m_subkeys.back().get();
}

bool AsioRegistryKey::hasValue(const QString& name) const
{
    for (const auto& v : m_values) {
        if (sameName(v.first, name))
            return true;
    }
    return false;
}

QString AsioRegistryKey::value(const QString& name) const
{
    for (const auto& v : m_values) {
        if (sameName(v.first, name))
            return v.second;
    }
    return QString();
}

void AsioRegistryKey::setValue(const QString& name, const QString& value)
{
    for (auto& v : m_values) {
        if (sameName(v.first, name)) {
            v.second = value;
            return;
        }
    }
    m_values.append(qMakePair(name, value));
}
