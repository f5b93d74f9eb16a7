// A byte vector whose growth leaves the new bytes as they come: for buffers
// that are filled right after they grow (samples, blocks read from a file),
// where the zeroing std::vector does would be a pass over every byte for
// nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

template <typename T>
struct uninitialized_allocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = uninitialized_allocator<U>;
    };
    using std::allocator<T>::allocator;
    // Value-initialisation (resize, the size constructor) does nothing;
    // everything else constructs as usual.
    template <typename U>
    void construct(U* p) noexcept
    {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args)
    {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

using byte_buffer = std::vector<uint8_t, uninitialized_allocator<uint8_t>>;
