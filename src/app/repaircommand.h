#ifndef TESSARO_REPAIRCOMMAND_H
#define TESSARO_REPAIRCOMMAND_H

#include <QStringList>

// "tessaro-recorder --repair FILE...": repairs each named recording cut off by a crash, prints
// one line per file (a repaired or complete one on standard output, a refused one with its
// reason on standard error) and returns the exit status: 0 only when every file was repaired
// or already complete, 1 when one was refused. The command line makes sure at
// least one file is named.
// Needs a QCoreApplication, no display.
int runRepairCommand(const QStringList& files);

#endif
