// Memory that reports a refusal by value. The C++ runtime's nothrow new
// throws and catches inside: with memory exhausted, the first exception on
// a thread needs memory of its own, and a refusal there ends the process.
// Nothing on the source's paths allocates through it.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

struct FreeMemory {
    void operator()(void* block) const { std::free(block); }
};

// An array of plain items, or nullptr when memory is refused.
template <typename T>
using OwnedArray = std::unique_ptr<T[], FreeMemory>;

template <typename T>
OwnedArray<T> AllocateArray(size_t count)
{
    static_assert(std::is_trivially_copyable<T>::value && std::is_trivially_destructible<T>::value, "plain items");
    return OwnedArray<T>(static_cast<T*>(std::malloc((count != 0 ? count : 1) * sizeof(T))));
}

// The same, every byte zero.
template <typename T>
OwnedArray<T> AllocateZeroed(size_t count)
{
    static_assert(std::is_trivially_copyable<T>::value && std::is_trivially_destructible<T>::value, "plain items");
    return OwnedArray<T>(static_cast<T*>(std::calloc(count != 0 ? count : 1, sizeof(T))));
}

// One object, constructed in memory of its own; nullptr when refused.
// Give it back with DeleteObject.
template <typename T, typename... Args>
T* NewObject(Args&&... args)
{
    void* room = std::malloc(sizeof(T));
    return room != nullptr ? new (room) T(std::forward<Args>(args)...) : nullptr;
}

template <typename T>
void DeleteObject(T* object)
{
    if (object != nullptr) {
        object->~T();
        std::free(object);
    }
}
