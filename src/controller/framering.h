#ifndef TESSARO_FRAMERING_H
#define TESSARO_FRAMERING_H

#include <QtGlobal>
#include <vector>

// Recorded frames kept back on the driver thread before they go to the writer: the pre-record
// of the last seconds while nothing records, and the end of a silence while a recording waits
// to see whether it becomes a gap. A frame is one block (a pool partition) of each recorded
// input of one buffer switch; the ring only holds the pointers, the owner takes and releases the
// partitions. Its storage is sized in advance, so that nothing allocates on the driver thread.
//
// Threads: setCapacity and clear on a thread that the owner has made sure is the ring's only
// user at the time; everything else on the driver thread.
class FrameRing
{
public:
    static constexpr int kInputs = 2;

    struct Block
    {
        long channel = 0;
        uchar* data = nullptr;
        qint64 bytes = 0;
    };
    struct Frame
    {
        Block blocks[kInputs];
        int count = 0; // blocks added
        long samples = 0;
    };

    // Empties the ring (its partitions must have been given back) and sizes it.
    void setCapacity(int frames);
    int capacity() const { return int(frames.size()); }
    int size() const { return count; }
    bool isEmpty() const { return count == 0; }
    bool isFull() const { return count == capacity(); }
    // Frames ever begun: the number of the next one.
    quint64 frameCount() const { return begun; }
    quint64 oldestNumber() const { return begun - quint64(count); }

    // Begins a frame at the back; the ring must not be full.
    void beginFrame(long samples);
    // Adds a block to the newest frame; false when there is none or it has all its blocks.
    bool addBlock(const Block& block);
    const Frame& oldest() const { return frames[size_t(head)]; }
    const Frame& newest() const;
    void dropOldest();
    void clear();

private:
    std::vector<Frame> frames;
    int head = 0;
    int count = 0;
    quint64 begun = 0;
};

#endif
