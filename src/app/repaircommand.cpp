#include "repaircommand.h"

#include "audiofilerepair.h"
#include "diagnosticsink.h"

#include <cstdio>

int runRepairCommand(const QStringList& files)
{
    int status = 0;
    for (const QString& name : files) {
        const AudioFileRepair::Result result = AudioFileRepair::repair(name);
        const QByteArray line = AudioFileRepair::describe(name, result).toLocal8Bit();
        if (result.outcome == AudioFileRepair::Outcome::Refused) {
            DiagnosticSink::error("%s", line.constData());
            status = 1;
        } else {
            std::printf("%s\n", line.constData());
        }
    }
    std::fflush(stdout);
    return status;
}
