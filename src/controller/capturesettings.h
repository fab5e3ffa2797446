#ifndef TESSARO_CAPTURESETTINGS_H
#define TESSARO_CAPTURESETTINGS_H

#include "capturegate.h"
#include "capturepath.h"

#include <QCoreApplication>
#include <QString>
#include <QStringList>
#include <array>

class QSettings;

// The choices of hands-free capture, all off by default: the seconds kept before a start
// (pre-record), the level that starts an armed recording, the level below which the inputs
// count as silent, the silence that stops a recording, the silence that makes a gap between
// tracks, and the shortest track a gap may end. Levels are in dB of the meters' reference (PCM
// full scale, DSD 50 % modulation). The settings file keeps them in the group "CAPTURE", the
// command line takes each as an option; both check them against the same limits.
//
// Threads: a value type, used on the GUI thread.
struct CaptureSettings
{
    Q_DECLARE_TR_FUNCTIONS(CaptureSettings)
public:
    static constexpr double kDefaultSilenceDb = -60.0;
    static constexpr double kDefaultMinTrackSeconds = 10.0;
    // A start waits this long for the controller to take the frame that triggered it.
    static constexpr double kTriggerMarginSeconds = 2.0;
    // The most of a gap that begins the next track.
    static constexpr double kLongestLeadSeconds = 0.5;

    double preRecordSeconds = 0.0;
    double startLevelDb = 0.0; // 0: the record button starts at once
    double silenceLevelDb = kDefaultSilenceDb;
    double stopAfterSilenceSeconds = 0.0;
    double splitOnSilenceSeconds = 0.0;
    double minTrackSeconds = kDefaultMinTrackSeconds;

    struct Field
    {
        const char* key;    // in the group "CAPTURE"
        const char* option; // on the command line, without the dashes
        const char* valueName;
        const char* help; // for the command line, translated in this class's context
        double minimum;
        double maximum;
        double byDefault; // what an absent key, and a 0 where 0 means nothing, stand for
        double CaptureSettings::*value;
    };
    static const std::array<Field, 6>& fields();

    // Stores value when it lies within the field's limits; 0 for the silence level is its
    // default.
    bool set(const Field& field, double value);
    // The group "CAPTURE"; a value out of range keeps the default and is named in problems.
    static CaptureSettings load(QSettings& settings, QStringList* problems);
    void save(QSettings& settings) const;

    bool armsOnLevel() const { return startLevelDb < 0.0; }
    // "−40 dB", with the minus sign of typesetting.
    static QString levelText(double db);
    // "armed: waiting for a signal above −40 dB"
    static QString armedText(double startLevelDb);
    // What the capture path needs at a rate, a buffer size (samples per channel and half) and a
    // pool of partitionCount partitions: the pre-record may take at most half the pool, the rest
    // being the disk's; shortened says by how much when it had to be shortened.
    CaptureGate::Limits limits(double rate) const;
    CapturePath::Rings rings(double rate, long bufferSize, int partitionCount,
                             QString* shortened) const;
    bool operator==(const CaptureSettings& other) const;
    bool operator!=(const CaptureSettings& other) const { return !(*this == other); }
};

#endif
