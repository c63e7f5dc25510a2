// Storage for arrays that grow large for a while (the service's item slots
// and change queues, a socket's send queue), straight from the kernel once
// it is large.
//
// glibc raises its mmap and trim thresholds to the size of each large block
// it frees (up to 32 MiB). The item arrays double as a configuration loads,
// so each growth freed a larger block; after a load of 20,000 items the
// thresholds stood near 1 MiB, and the free space at the top of a thread's
// heap, up to twice that, stayed resident for the life of the process.
// Blocks from mmap go back with munmap and leave the thresholds alone; their
// pages take memory only once touched, and discard() gives back the pages a
// burst touched.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <new>

namespace ostrand {

template <typename T>
struct PageAllocator {
    using value_type = T;
    static constexpr size_t kMappedFrom = 64 * 1024; // bytes; smaller blocks come from the heap

    PageAllocator() = default;
    template <typename U>
    PageAllocator(const PageAllocator<U>&) noexcept {}

    T* allocate(size_t n) {
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        const size_t bytes = n * sizeof(T);
        if (bytes < kMappedFrom) return static_cast<T*>(::operator new(bytes));
        void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, size_t n) noexcept {
        const size_t bytes = n * sizeof(T);
        if (bytes < kMappedFrom) ::operator delete(p);
        else munmap(p, bytes);
    }
    // Gives back the whole pages of elements [from, to) of a block of n from
    // allocate(n); the block keeps its size, and a page touched again comes
    // back as zeroes. The elements there must not be alive (a vector's room
    // beyond its size). A block from the heap is left as it is.
    static void discard(T* p, size_t n, size_t from, size_t to) noexcept {
        if (n * sizeof(T) < kMappedFrom || from >= to || to > n) return;
        static const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
        const uintptr_t begin = (reinterpret_cast<uintptr_t>(p + from) + page - 1) & ~(page - 1);
        const uintptr_t end = reinterpret_cast<uintptr_t>(p + to) & ~(page - 1);
        if (begin < end) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
    }
    friend bool operator==(const PageAllocator&, const PageAllocator&) { return true; }
};

} // namespace ostrand
