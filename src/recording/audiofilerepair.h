#ifndef TESSARO_AUDIOFILEREPAIR_H
#define TESSARO_AUDIOFILEREPAIR_H

#include <QCoreApplication>
#include <QString>

// Brings the header of a WAV, DSF or DSDIFF recording that was cut off by a crash in line with
// the data on the disk: the sizes and counts follow from the file's length, a trailing partial
// sample frame (DSF: partial block group) is cut off. Every other header field must be what
// a recording of that format holds, else the file is refused: a valid file of another program
// with what sets it apart ("not a recording of this program: WAV with a LIST chunk"), a
// damaged one with the field. A complete file, and every refused one, is left exactly as it was.
//
// Threads: any; no shared state.
class AudioFileRepair
{
    Q_DECLARE_TR_FUNCTIONS(AudioFileRepair)
public:
    enum class Outcome
    {
        Repaired,
        Complete,
        Refused
    };
    struct Result
    {
        Outcome outcome = Outcome::Refused;
        qint64 length = 0;    // the file's length afterwards, in bytes
        double seconds = 0.0; // the audio the header now counts
        QString reason;       // why it was refused
    };

    static Result repair(const QString& fileName);
    // Reads only: a file whose header counts exactly the data on the disk is Complete, with
    // its length and the audio it holds; any other is Refused, with the reason.
    static Result inspect(const QString& fileName);
    // One line for a person: the file, what happened, and its length or the reason.
    static QString describe(const QString& fileName, const Result& result);
};

#endif
