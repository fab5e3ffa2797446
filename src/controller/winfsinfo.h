#ifndef TESSARO_WINFSINFO_H
#define TESSARO_WINFSINFO_H

#include <QString>

// Which file system holds a destination. On Linux the mount of the destination's directory
// (or of its nearest existing ancestor) answers; the kernel's and the FUSE NTFS drivers all
// count as "NTFS", the only name the split policy treats specially. GUI thread.
class WinFsInfo
{
public:
    static QString fileSystemName(const QString& filePath);
    // "ntfs", "ntfs3" and "fuseblk" (ntfs-3g) become "NTFS"; other types stay as they are.
    static QString nameOfMountType(const QString& type);
};

#endif
