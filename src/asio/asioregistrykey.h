#ifndef TESSARO_ASIOREGISTRYKEY_H
#define TESSARO_ASIOREGISTRYKEY_H

#include <QList>
#include <QPair>
#include <QString>
#include <memory>
#include <vector>

// One key of the Linux driver registry: named string values and subkeys, both kept in the
// order they were first added. Names compare without regard to case, as registry names do;
// an empty value name is the key's default value.
//
// Threads: built by one thread, then only read.
class AsioRegistryKey
{
public:
    explicit AsioRegistryKey(const QString& name = QString()) : m_name(name) {}

    const QString& name() const { return m_name; }

    AsioRegistryKey* subkey(const QString& name) const;
    AsioRegistryKey* subkeyAt(int index) const;
    int subkeyCount() const { return int(m_subkeys.size()); }
    // The existing subkey of that name, or a new one appended.
    AsioRegistryKey* addSubkey(const QString& name);

    bool hasValue(const QString& name) const;
    QString value(const QString& name) const;
    void setValue(const QString& name, const QString& value);

private:
    QString m_name;
    QList<QPair<QString, QString>> m_values;
    std::vector<std::unique_ptr<AsioRegistryKey>> m_subkeys;
};

#endif
