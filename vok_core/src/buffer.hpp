// Large native arrays without page-fault storms.
//
// A batch call converts its inputs into arrays of a few megabytes and frees
// them when it returns. Through malloc such arrays land on the heap, which is
// grown and trimmed again on every call, so every page of them faults anew
// (and allocating them even moves the result list's own buffer there).
// Arrays from 1 MiB up are therefore mapped directly, 2 MiB aligned and
// marked for transparent huge pages: a 8 MB array costs four faults instead
// of two thousand. Smaller arrays use the ordinary allocator.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace vok {

template <class T>
struct BulkAllocator {
    using value_type = T;

    static constexpr std::size_t kMapFrom = std::size_t{1} << 20;   // bytes
    static constexpr std::size_t kHugePage = std::size_t{2} << 20;  // x86-64 huge page

    BulkAllocator() noexcept = default;
    template <class U>
    BulkAllocator(const BulkAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > SIZE_MAX / sizeof(T) - kHugePage) throw std::bad_alloc();
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kMapFrom) return std::allocator<T>().allocate(n);
        const std::size_t mapped = mapped_size(bytes);
        void* p = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        // Give back the slack before the first 2 MiB boundary and after the end.
        auto base = reinterpret_cast<std::uintptr_t>(p);
        const std::uintptr_t aligned = (base + kHugePage - 1) & ~(kHugePage - 1);
        const std::size_t head = aligned - base, used = round_up(bytes);
        if (head) ::munmap(p, head);
        if (mapped - head > used) ::munmap(reinterpret_cast<void*>(aligned + used), mapped - head - used);
        ::madvise(reinterpret_cast<void*>(aligned), used, MADV_HUGEPAGE);  // a hint; failure is harmless
        return reinterpret_cast<T*>(aligned);
    }

    // Elements are default-initialised: Buffer<double>(n) is not zero-filled,
    // so a batch output's pages are first touched by the workers that write
    // them, not all by the calling thread beforehand. Whoever sizes a Buffer
    // this way writes every slot.
    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }

    void deallocate(T* p, std::size_t n) noexcept {
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kMapFrom) return std::allocator<T>().deallocate(p, n);
        ::munmap(p, round_up(bytes));
    }

    template <class U>
    bool operator==(const BulkAllocator<U>&) const noexcept {
        return true;
    }

private:
    static std::size_t round_up(std::size_t bytes) { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }
    static std::size_t mapped_size(std::size_t bytes) { return round_up(bytes) + kHugePage; }
};

// A contiguous array of T for the large arrays of a batch call; sized by its
// constructor, its elements are left uninitialised (see construct above).
template <class T>
using Buffer = std::vector<T, BulkAllocator<T>>;

}  // namespace vok
