#include "asioclassid.h"

#include <cstring>

namespace {

const int kTextLength = 38;
// Positions of the four dashes within the braces.
bool isDashPosition(int i)
{
    return i == 9 || i == 14 || i == 19 || i == 24;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

bool parseAsioClassId(const char* text, AsioClassId* clsid, int maxLength)
{
    if (!text || !clsid || maxLength < kTextLength || strnlen(text, kTextLength + 1) != kTextLength)
        return false;
    if (text[0] != '{' || text[kTextLength - 1] != '}')
        return false;
    AsioClassId parsed{};
    int nibble = 0;
    for (int i = 1; i < kTextLength - 1; ++i) {
        if (isDashPosition(i)) {
            if (text[i] != '-')
                return false;
            continue;
        }
        const int v = hexValue(text[i]);
        if (v < 0)
            return false;
        parsed.bytes[nibble / 2] |= uint8_t(nibble % 2 == 0 ? v << 4 : v);
        ++nibble;
    }
    *clsid = parsed;
    return true;
}

QString asioClassIdText(const AsioClassId& clsid)
{
    QString hex;
    for (uint8_t b : clsid.bytes)
        hex += QString::asprintf("%02x", b);
    return QStringLiteral("{%1-%2-%3-%4-%5}")
        .arg(hex.mid(0, 8), hex.mid(8, 4), hex.mid(12, 4), hex.mid(16, 4), hex.mid(20, 12));
}
