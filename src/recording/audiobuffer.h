#ifndef TESSARO_AUDIOBUFFER_H
#define TESSARO_AUDIOBUFFER_H

#include <QtGlobal>
#include <array>

// One frame of the recording pipeline: per channel a pointer to a block inside a pool
// partition, plus the byte count of each block. A frame never owns the data it points to.
// Value type; the slots live inside the object, so making, copying and changing a frame never
// touches the heap (the writer thread assembles one per buffer half, all recording long).
//
// Threads: built from the blocks of the hand-over ring and read on the writer thread only;
// format writers read it there too.
class AudioBuffer
{
public:
    // Frames of more channels keep only the first MaxChannels.
    static constexpr int MaxChannels = 4;

    AudioBuffer();
    AudioBuffer(int channelCount, int size);
    AudioBuffer(const AudioBuffer& other) = default;
    AudioBuffer& operator=(const AudioBuffer& other) = default;
    virtual ~AudioBuffer() = default;

    virtual bool hasChannel(int i) const;
    virtual int channelCount() const;
    virtual qint64 size() const;
    virtual qint64 totalBytes() const;
    virtual uchar* channelData(int i) const;
    virtual bool isComplete() const;

    // Assembly by the writer thread.
    void setChannelData(int i, uchar* data);
    void setSize(qint64 size);

private:
    std::array<uchar*, MaxChannels> slots_{};
    int channelCount_ = 0;
    qint64 size_ = 0;
};

#endif
