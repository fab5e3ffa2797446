#include "headerbytes.h"

#include <cstring>

HeaderBytes::HeaderBytes(ByteOrder order) : order(order) {}

HeaderBytes& HeaderBytes::raw(const char* data, int n)
{
    Q_ASSERT(used + n <= Capacity);
    std::memcpy(bytes.data() + used, data, size_t(n));
    used += n;
    return *this;
}

HeaderBytes& HeaderBytes::id(const char* fourCharacters)
{
    return raw(fourCharacters, 4);
}

HeaderBytes& HeaderBytes::u8(quint8 value)
{
    return number(value, 1);
}

HeaderBytes& HeaderBytes::u16(quint16 value)
{
    return number(value, 2);
}

HeaderBytes& HeaderBytes::u32(quint32 value)
{
    return number(value, 4);
}

HeaderBytes& HeaderBytes::u64(quint64 value)
{
    return number(value, 8);
}

const char* HeaderBytes::data() const
{
    return bytes.data();
}

int HeaderBytes::size() const
{
    return used;
}

HeaderBytes& HeaderBytes::number(quint64 value, int n)
{
    Q_ASSERT(used + n <= Capacity);
    for (int i = 0; i < n; ++i) {
        const int shift = 8 * (order == LittleEndian ? i : n - 1 - i);
        bytes[size_t(used + i)] = char((value >> shift) & 0xff);
    }
    used += n;
    return *this;
}
