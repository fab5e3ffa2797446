#include "partitionmanager.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

PartitionManager::PartitionManager(unsigned totalSize)
{
    pool = static_cast<uchar*>(std::malloc(totalSize ? totalSize : 1));
    if (!pool)
        return;
    // Touch every page now so the memory is committed before the first recording.
    std::memset(pool, 0, totalSize);
    totalSize_ = totalSize;
}

PartitionManager::~PartitionManager()
{
    std::free(pool);
}

bool PartitionManager::isAllocated() const
{
    return pool != nullptr;
}

int PartitionManager::usedCount() const
{
    return usedCount_.load();
}

unsigned PartitionManager::totalSize() const
{
    return totalSize_;
}

unsigned PartitionManager::partitionSize() const
{
    return partitionSize_.load();
}

int PartitionManager::partitionCount() const
{
    return partitionCount_.load();
}

bool PartitionManager::allFree() const
{
    for (const Partition& p : partitionList) {
        if (p.used)
            return false;
    }
    return true;
}

bool PartitionManager::setPartitionSize(unsigned size)
{
    std::lock_guard<std::mutex> lock(poolMutex);
    if (!isAllocated() || !allFree() || size == 0 || size >= totalSize_)
        return false;
    const unsigned count = totalSize_ / size;
    QVector<Partition> list(static_cast<int>(count));
    for (unsigned k = 0; k < count; ++k)
        list[int(k)].data = pool + qsizetype(k) * size;
    partitionList.swap(list);
    lowestFreeHint = 0;
    partitionSize_ = size;
    partitionCount_ = int(count);
    usedCount_ = 0;
    return true;
}

// The partition that begins at data, found by arithmetic rather than a scan.
int PartitionManager::indexOfStart(uchar* data) const
{
    const unsigned size = partitionSize_;
    if (!data || !pool || size == 0 || data < pool)
        return -1;
    const qint64 offset = data - pool;
    const qint64 index = offset / size;
    if (offset % size != 0 || index >= partitionList.size())
        return -1;
    return int(index);
}

uchar* PartitionManager::acquire()
{
    std::lock_guard<std::mutex> lock(poolMutex);
    int index = lowestFreeHint;
    while (index < partitionList.size() && partitionList.at(index).used)
        ++index;
    lowestFreeHint = index;
    if (index >= partitionList.size())
        return nullptr;
    Partition& p = partitionList[index];
    p.used = true;
    ++usedCount_;
    return p.data;
}

void PartitionManager::release(uchar* data)
{
    std::lock_guard<std::mutex> lock(poolMutex);
    const int index = indexOfStart(data);
    if (index < 0)
        return;
    Partition& p = partitionList[index];
    if (p.used) {
        p.used = false;
        --usedCount_;
        lowestFreeHint = qMin(lowestFreeHint, index);
    }
}
