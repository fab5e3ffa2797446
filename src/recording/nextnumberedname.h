#ifndef TESSARO_NEXTNUMBEREDNAME_H
#define TESSARO_NEXTNUMBEREDNAME_H

#include <QString>

// The file name that follows fileName in the numbering for marker ("_part" for split parts,
// "_" for tracks and free names), as an absolute path in the same directory:
// take.dsf -> take_part0002.dsf -> take_part0003.dsf. Pure; safe on any thread.
QString nextNumberedName(const QString& fileName, const QString& marker);

#endif
