#include "builtindrivers.h"

#include <QPair>

namespace {

QList<QPair<QString, BuiltinDrivers::Provider>>& providers()
{
    static QList<QPair<QString, BuiltinDrivers::Provider>> list;
    return list;
}

} // namespace

void BuiltinDrivers::addProvider(const QString& id, const Provider& provider)
{
    for (auto& entry : providers()) {
        if (entry.first == id) {
            entry.second = provider;
            return;
        }
    }
    providers().append(qMakePair(id, provider));
}

void BuiltinDrivers::removeProvider(const QString& id)
{
    for (int i = 0; i < providers().size(); ++i) {
        if (providers()[i].first == id) {
            providers().removeAt(i);
            return;
        }
    }
}

QList<BuiltinDriverClass> BuiltinDrivers::classes()
{
    QList<BuiltinDriverClass> all;
    for (const auto& entry : providers()) {
        if (entry.second)
            all += entry.second();
    }
    return all;
}
