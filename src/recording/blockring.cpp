#include "blockring.h"

void BlockRing::setCapacity(int capacity)
{
    if (capacity <= int(entries.size()) || pushed.load() != popped.load())
        return;
    // Only an empty ring is resized, so no slot's position depends on the old capacity.
    entries.assign(size_t(capacity), Block());
}

int BlockRing::capacity() const
{
    return int(entries.size());
}

bool BlockRing::push(const Block& block)
{
    const quint64 in = pushed.load(std::memory_order_relaxed);
    if (entries.empty() || in - popped.load(std::memory_order_acquire) >= entries.size())
        return false;
    entries[size_t(in % entries.size())] = block;
    pushed.store(in + 1, std::memory_order_release);
    return true;
}

bool BlockRing::pop(Block* block)
{
    const quint64 out = popped.load(std::memory_order_relaxed);
    if (out == pushed.load(std::memory_order_acquire))
        return false;
    *block = entries[size_t(out % entries.size())];
    popped.store(out + 1, std::memory_order_release);
    return true;
}

quint64 BlockRing::pushedCount() const
{
    return pushed.load(std::memory_order_acquire);
}

quint64 BlockRing::poppedCount() const
{
    return popped.load(std::memory_order_acquire);
}
