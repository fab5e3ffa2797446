#include "capturesettings.h"

#include <QSettings>
#include <cmath>

namespace {

const QString kGroup = QStringLiteral("CAPTURE");

int framesOf(double seconds, double rate, long bufferSize)
{
    if (seconds <= 0.0 || rate <= 0.0 || bufferSize <= 0)
        return 0;
    return int(std::ceil(seconds * rate / double(bufferSize)));
}

float linearLevel(double db)
{
    return float(std::pow(10.0, db / 20.0));
}

} // namespace

const std::array<CaptureSettings::Field, 6>& CaptureSettings::fields()
{
    static const std::array<Field, 6> all = {{
        {"pre_record_seconds", "pre-record", "SECONDS",
         QT_TRANSLATE_NOOP("CaptureSettings",
                           "Begin the take this many seconds before the start (0 to 30)."),
         0.0, 30.0, 0.0, &CaptureSettings::preRecordSeconds},
        {"start_level_db", "start-level", "DB",
         QT_TRANSLATE_NOOP("CaptureSettings",
                           "Wait for an input to reach this level before recording "
                           "(-120 to 0; 0: at once)."),
         -120.0, 0.0, 0.0, &CaptureSettings::startLevelDb},
        {"silence_level_db", "silence-level", "DB",
         QT_TRANSLATE_NOOP("CaptureSettings",
                           "Inputs below this level are silent (-120 to 0; default -60)."),
         -120.0, 0.0, kDefaultSilenceDb, &CaptureSettings::silenceLevelDb},
        {"stop_after_silence_seconds", "stop-after-silence", "SECONDS",
         QT_TRANSLATE_NOOP("CaptureSettings", "Stop after this much silence (0: never)."), 0.0,
         86400.0, 0.0, &CaptureSettings::stopAfterSilenceSeconds},
        {"split_on_silence_seconds", "split-on-silence", "SECONDS",
         QT_TRANSLATE_NOOP("CaptureSettings",
                           "Begin the next track where the signal returns after this much "
                           "silence (0: never)."),
         0.0, 3600.0, 0.0, &CaptureSettings::splitOnSilenceSeconds},
        {"min_track_seconds", "min-track", "SECONDS",
         QT_TRANSLATE_NOOP("CaptureSettings", "Split no track off shorter than this (default 10)."),
         0.0, 3600.0, kDefaultMinTrackSeconds, &CaptureSettings::minTrackSeconds},
    }};
    return all;
}

bool CaptureSettings::set(const Field& field, double value)
{
    if (!(value >= field.minimum && value <= field.maximum))
        return false;
    const bool zeroIsDefault = field.value == &CaptureSettings::silenceLevelDb;
    this->*field.value = value == 0.0 && zeroIsDefault ? field.byDefault : value;
    return true;
}

CaptureSettings CaptureSettings::load(QSettings& settings, QStringList* problems)
{
    CaptureSettings loaded;
    settings.beginGroup(kGroup);
    for (const Field& field : fields()) {
        const QString key = QLatin1String(field.key);
        if (!settings.contains(key))
            continue;
        bool ok = false;
        const QString text = settings.value(key).toString();
        const double value = text.toDouble(&ok);
        if (!ok || !loaded.set(field, value))
            *problems << tr("%1/%2 must be a number from %3 to %4, not '%5'; %6 is used")
                             .arg(kGroup, key)
                             .arg(field.minimum)
                             .arg(field.maximum)
                             .arg(text)
                             .arg(field.byDefault);
    }
    settings.endGroup();
    return loaded;
}

void CaptureSettings::save(QSettings& settings) const
{
    settings.beginGroup(kGroup);
    for (const Field& field : fields())
        settings.setValue(QLatin1String(field.key), this->*field.value);
    settings.endGroup();
}

QString CaptureSettings::levelText(double db)
{
    QString number = QString::number(db, 'g', 4);
    number.replace(QLatin1Char('-'), QChar(0x2212));
    return tr("%1 dB").arg(number);
}

QString CaptureSettings::armedText(double startLevelDb)
{
    return tr("armed: waiting for a signal above %1").arg(levelText(startLevelDb));
}

CaptureGate::Limits CaptureSettings::limits(double rate) const
{
    const auto samples = [rate](double seconds) { return qint64(std::llround(seconds * rate)); };
    CaptureGate::Limits l;
    l.startLevel = armsOnLevel() ? linearLevel(startLevelDb) : 0.0f;
    l.silenceLevel = linearLevel(silenceLevelDb);
    l.stopAfter = samples(stopAfterSilenceSeconds);
    l.gapAfter = samples(splitOnSilenceSeconds);
    l.minTrack = samples(minTrackSeconds);
    return l;
}

CapturePath::Rings CaptureSettings::rings(double rate, long bufferSize, int partitionCount,
                                          QString* shortened) const
{
    CapturePath::Rings r;
    r.preRecordFrames = framesOf(preRecordSeconds, rate, bufferSize);
    r.triggerFrames = armsOnLevel() ? framesOf(kTriggerMarginSeconds, rate, bufferSize) : 0;
    const double lead = qMin(kLongestLeadSeconds, splitOnSilenceSeconds / 2);
    r.holdFrames = framesOf(lead, rate, bufferSize);
    // Two partitions a frame; the pre-record's ring keeps one frame more than it hands over.
    const int room = partitionCount / 2 / FrameRing::kInputs - r.triggerFrames - 1;
    if (r.preRecordFrames > qMax(0, room)) {
        r.preRecordFrames = qMax(0, room);
        *shortened = tr("a pre-record of %1 s does not fit the RAM buffer at this rate; it is "
                        "shortened to %2 s")
                         .arg(preRecordSeconds)
                         .arg(double(r.preRecordFrames) * double(bufferSize) / rate, 0, 'f', 1);
    }
    return r;
}

bool CaptureSettings::operator==(const CaptureSettings& other) const
{
    for (const Field& field : fields()) {
        if (this->*field.value != other.*field.value)
            return false;
    }
    return true;
}
