#ifndef TESSARO_RECORDINGDESTINATION_H
#define TESSARO_RECORDINGDESTINATION_H

#include <QCoreApplication>
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
    // The name trimmed of surrounding blanks, as an absolute path, with an extension that fits the
    // data: in DSD mode .dsf or .dff stay as typed and any other name gets "." + dsdType; in PCM
    // mode every name ends in .wav. A wrong extension is replaced, a missing one added.
    static QString conformedName(const QString& typed, bool dsd, const QString& dsdType);

    // Why nothing can be recorded under name, in words for the user; empty when it can. Catches
    // an empty name, a folder in place of a file, a missing or unwritable folder and a name the
    // file system refuses (too long, invalid characters), the last by creating and removing the
    // file when it does not exist yet. An existing file is no problem here: whether it is
    // overwritten or numbered is the recording's decision.
    static QString problem(const QString& name);

    // Bytes the file system holding name's folder still offers to this user; -1 when unknown.
    static qint64 availableBytes(const QString& name);
};

#endif
