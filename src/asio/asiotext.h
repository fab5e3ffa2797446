#ifndef TESSARO_ASIOTEXT_H
#define TESSARO_ASIOTEXT_H

#include <cstddef>
#include <cstring>

// Fills one of the driver interface's fixed text fields (a name, an error message): at most
// size - 1 bytes of text, always terminated, whatever the length of the text.
inline void copyAsioText(char* buffer, size_t size, const char* text)
{
    if (size == 0)
        return;
    const size_t n = strnlen(text, size - 1);
    std::memcpy(buffer, text, n);
    buffer[n] = '\0';
}

#endif
