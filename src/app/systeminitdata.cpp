#include "systeminitdata.h"

#include <QSettings>

namespace {

QSettings::Scope scopeOf(bool userScope)
{
    return userScope ? QSettings::UserScope : QSettings::SystemScope;
}

// A stored value of the wrong type falls back to the default instead of to 0.
int intValue(const QSettings& s, const QString& key, int fallback)
{
    bool ok = false;
    const int value = s.value(key, fallback).toInt(&ok);
    return ok ? value : fallback;
}

} // namespace

bool SystemInitData::hasDevice() const
{
    return !device.isEmpty();
}

bool SystemInitData::hasSamplingRate() const
{
    return sampling_rate > 0.0;
}

void SystemInitData::load(const QString& organisation, const QString& application, bool userScope)
{
    QSettings s(QSettings::IniFormat, scopeOf(userScope), organisation, application);
    s.beginGroup(QStringLiteral("INPUT"));
    device = s.value(QStringLiteral("device"), device).toString();
    sampling_rate =
        s.value(QStringLiteral("sampling_rate"), QStringLiteral("44100")).toString().toDouble();
    save_path = s.value(QStringLiteral("save_path"), QString()).toString();
    recording_buffer_MB = intValue(s, QStringLiteral("recording_buffer_MB"), 256);
    default_dsd_type =
        s.value(QStringLiteral("default_dsd_type"), QStringLiteral("dff")).toString();
    const QString pairKey = QStringLiteral("input_pair");
    input_pair = s.contains(pairKey) ? intValue(s, pairKey, 0) : 1;
    s.endGroup();
    ask_when_halvik_device_plugged_in =
        s.value(QStringLiteral("ask_when_halvik_device_plugged_in"), true).toBool();
}

void SystemInitData::save(const QString& organisation, const QString& application, bool userScope)
{
    QSettings s(QSettings::IniFormat, scopeOf(userScope), organisation, application);
    s.beginGroup(QStringLiteral("INPUT"));
    if (hasDevice())
        s.setValue(QStringLiteral("device"), device);
    if (hasSamplingRate())
        s.setValue(QStringLiteral("sampling_rate"),
                   QStringLiteral("%1").arg(sampling_rate, 0, 'g'));
    s.setValue(QStringLiteral("save_path"), save_path);
    s.setValue(QStringLiteral("recording_buffer_MB"), recording_buffer_MB);
    s.setValue(QStringLiteral("default_dsd_type"), default_dsd_type);
    s.setValue(QStringLiteral("input_pair"), input_pair);
    s.endGroup();
}
