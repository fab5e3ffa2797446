#include "repaircommand.h"

#include "audiofilerepair.h"

#include <cstdio>

int runRepairCommand(const QStringList& files)
{
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
