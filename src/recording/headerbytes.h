#ifndef TESSARO_HEADERBYTES_H
#define TESSARO_HEADERBYTES_H

#include <QtGlobal>
#include <array>

// Lays out a file header field by field in a fixed buffer of its own, so that rewriting the
// header while recording never touches the heap.
//
// Threads: a local of the writer thread.
class HeaderBytes
{
public:
    enum ByteOrder
    {
        LittleEndian,
        BigEndian
    };
    static constexpr int Capacity = 160;

    explicit HeaderBytes(ByteOrder order);
    HeaderBytes& raw(const char* data, int n);
    // A four-character chunk identifier, as its raw bytes.
    HeaderBytes& id(const char* fourCharacters);
    HeaderBytes& u8(quint8 value);
    HeaderBytes& u16(quint16 value);
    HeaderBytes& u32(quint32 value);
    HeaderBytes& u64(quint64 value);
    const char* data() const;
    int size() const;

private:
    HeaderBytes& number(quint64 value, int bytes);

    ByteOrder order;
    std::array<char, Capacity> bytes{};
    int used = 0;
};

#endif
