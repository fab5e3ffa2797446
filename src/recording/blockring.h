#ifndef TESSARO_BLOCKRING_H
#define TESSARO_BLOCKRING_H

#include <QtGlobal>
#include <atomic>
#include <vector>

// Channel blocks on their way from the driver thread to the writer thread, oldest first: a ring
// of fixed capacity for one producer and one consumer, without locks, so that handing a block
// over never waits for the thread that writes to disk.
//
// Threads: push on the producing thread, pop on the consuming thread, the counts from any
// thread. setCapacity only while neither side uses the ring (the writer makes sure of it).
// pushed is written only by the producer, popped only by the consumer; each publishes the
// slots it has filled or emptied with release order.
class BlockRing
{
public:
    struct Block
    {
        int channel = 0;
        uchar* data = nullptr;
        qint64 bytes = 0;
    };

    // Grows the ring to hold at least capacity blocks; never shrinks it.
    void setCapacity(int capacity);
    int capacity() const;
    // False when the ring is full; the block is then not taken.
    bool push(const Block& block);
    // False when the ring is empty.
    bool pop(Block* block);
    quint64 pushedCount() const;
    quint64 poppedCount() const;

private:
    std::vector<Block> entries;
    std::atomic<quint64> pushed{0};
    std::atomic<quint64> popped{0};
};

#endif
