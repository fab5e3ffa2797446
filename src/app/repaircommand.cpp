#include "repaircommand.h"

#include "audiofilerepair.h"

#include <QCoreApplication>
#include <cstdio>

int runRepairCommand(const QStringList& files)
{
    if (files.isEmpty()) {
        std::fprintf(stderr, "%s\n",
                     qPrintable(QCoreApplication::translate(
                         "RepairCommand", "usage: tessaro-recorder --repair FILE...")));
        return 2;
    }
    int status = 0;
    for (const QString& name : files) {
        const AudioFileRepair::Result result = AudioFileRepair::repair(name);
        std::printf("%s\n", qPrintable(AudioFileRepair::describe(name, result)));
        if (result.outcome == AudioFileRepair::Outcome::Refused)
            status = 1;
    }
    std::fflush(stdout);
    return status;
}
