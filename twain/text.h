// Bounded copies into the fixed text fields of TWAIN structures and records.
#pragma once

#include <cstddef>
#include <cstring>

// Copies at most size - 1 characters of `text` and terminates.
inline void CopyText(char* destination, size_t size, const char* text)
{
    if (size == 0) {
        return;
    }
    size_t length = 0;
    while (length < size - 1 && text[length] != '\0') {
        ++length;
    }
    std::memcpy(destination, text, length);
    destination[length] = '\0';
}
