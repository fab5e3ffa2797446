#ifndef TESSARO_PARTITIONMANAGER_H
#define TESSARO_PARTITIONMANAGER_H

#include <QVector>
#include <QtGlobal>
#include <atomic>
#include <mutex>

// The recording buffer: one block of RAM allocated and touched at construction, cut into equal
// partitions of one channel's half-buffer each.
//
// Threads: acquire() on the driver thread, release() on the writer thread and, for a block the
// writer refuses, on the driver thread; setPartitionSize() and the getters on the GUI thread;
// getters may be called from any thread and read atomic copies. poolMutex guards partitionList,
// partitionSize and usedCount; the atomics mirror them for lock-free reads.
class PartitionManager
{
public:
    struct Partition
    {
        virtual ~Partition() = default;
        bool used = false;
        uchar* data = nullptr;
    };

    explicit PartitionManager(unsigned totalSize);
    PartitionManager(const PartitionManager&) = delete;
    PartitionManager& operator=(const PartitionManager&) = delete;
    virtual ~PartitionManager();

    virtual bool isAllocated() const;
    virtual int usedCount() const;
    virtual unsigned totalSize() const;
    virtual unsigned partitionSize() const;
    virtual int partitionCount() const;
    virtual bool allFree() const;
    virtual bool setPartitionSize(unsigned size);
    // Driver thread: no allocation, constant-time in steady state.
    virtual uchar* acquire();
    virtual void release(uchar* data);

private:
    int indexOfStart(uchar* data) const;

    mutable std::mutex poolMutex; // pthread: visible to the race detector, unlike QMutex
    int lowestFreeHint = 0;       // no partition below it is free; keeps acquire short when full
    uchar* pool = nullptr;
    unsigned totalSize_ = 0;
    QVector<Partition> partitionList;
    std::atomic<unsigned> partitionSize_{0};
    std::atomic<int> usedCount_{0};
    std::atomic<int> partitionCount_{0};
};

#endif
