#ifndef TESSARO_CTRLSPLITSIZEADJUSTER_H
#define TESSARO_CTRLSPLITSIZEADJUSTER_H

#include <QString>
#include <QtGlobal>

class AsioController;

// Chooses the maximum file size before each recording: the WAV limit for WAV files, else the
// limit of the destination's file system (NTFS, or FAT32 for every other one). GUI thread.
class CtrlSplitSizeAdjuster
{
public:
    explicit CtrlSplitSizeAdjuster(AsioController* controller);
    virtual ~CtrlSplitSizeAdjuster() = default;
    virtual void adjustSplitSize(const QString& filePath);
    virtual void saveSettings(const QString& organisation, const QString& application);
    virtual void loadSettings(const QString& organisation, const QString& application);

private:
    static QString splitDescription(qint64 size);

    AsioController* controller;
    qint64 wavThreshold = 2000000000;
    qint64 ntfsThreshold = -1;
    qint64 fat32Threshold = 4000000000LL;
};

#endif
