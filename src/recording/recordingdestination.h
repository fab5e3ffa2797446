#ifndef TESSARO_RECORDINGDESTINATION_H
#define TESSARO_RECORDINGDESTINATION_H

#include <QCoreApplication>
#include <QFileInfo>
#include <QString>

// The destination of a recording as the user gave it, made fit for the data and checked before
// anything is recorded. The window and the command line both go through here, so a name means
// the same file everywhere: trimmed once, with the container that matches the data.
//
// Threads: stateless; any thread. problem() and availableBytes() touch the file system.
class RecordingDestination
{
    Q_DECLARE_TR_FUNCTIONS(RecordingDestination)
public:
    // Which DSD container a name that already ends in .dsf or .dff gets in DSD mode: the one
    // typed, or the one chosen in the settings (after the user changed them).
    enum class DsdContainer
    {
        AsTyped,
        FromSettings
    };

    // The name trimmed of surrounding blanks, as an absolute path, with an extension that fits
    // the data: .wav in PCM mode, .dsf or .dff in DSD mode (dsdType for a name that has none).
    // Only wav, dsf and dff (in any case) count as extensions: one that does not fit the mode is
    // replaced, any other text after a dot is part of the name and the extension is appended
    // ("Konzert 12.05.2024" -> "Konzert 12.05.2024.wav"). Empty for a blank name.
    static QString conformedName(const QString& typed, bool dsd, const QString& dsdType,
                                 DsdContainer container = DsdContainer::AsTyped);

    // Why nothing can be recorded under name, in words for the user; empty when it can. Catches
    // an empty name, a folder in place of a file, a missing or unwritable folder and a name the
    // file system refuses (too long, invalid characters), the last by creating and removing the
    // file when it does not exist yet, and a name too long to take the numbers its tracks and
    // parts may need (NumberingRoom) within the folder's file system's limit. An existing file
    // is no problem here: whether it is overwritten or numbered is the recording's decision.
    static QString problem(const QString& name);

    // Bytes the file system holding name's folder still offers to this user; -1 when unknown.
    static qint64 availableBytes(const QString& name);

    // The most a take adds to its name: the highest track number and then part number.
    static const char* const NumberingRoom;

private:
    static QString lengthProblem(const QFileInfo& info);
};

#endif
