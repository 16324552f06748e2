// Large buffers on huge pages where the system offers them. Compiles of large models fill and
// scatter over hundreds of megabytes: with 4 KiB pages the first touch of every page faults and
// random writes miss the TLB. Buffers of 2 MiB and more get a mapping of their own, advised to
// use huge pages; smaller ones come from the heap as usual.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>
#include <new>
#include <type_traits>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace qtx {

constexpr size_t kHugePage = size_t(2) << 20;

/// Zero-filled memory of `bytes` (2 MiB or more) in a mapping of its own; throws bad_alloc.
#if defined(__linux__)
inline void* huge_map(size_t bytes) {
    size_t mapped = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* p = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    madvise(p, mapped, MADV_HUGEPAGE);  // advice only: ignored where unsupported
    return p;
}

inline void huge_unmap(void* p, size_t bytes) { munmap(p, (bytes + kHugePage - 1) / kHugePage * kHugePage); }
#else
inline void* huge_map(size_t) { throw std::bad_alloc(); }  // never called: no block is huge here
inline void huge_unmap(void*, size_t) {}
#endif

/// Whether a block of `bytes` is a mapping of its own (the rule of allocate and release alike).
inline bool huge_block(size_t bytes) {
#if defined(__linux__)
    return bytes >= kHugePage;
#else
    (void)bytes;
    return false;
#endif
}

/// std::allocator, except that blocks of 2 MiB and more are huge-page mappings.
template <class T>
struct HugeAllocator {
    using value_type = T;
    HugeAllocator() = default;
    template <class U>
    HugeAllocator(const HugeAllocator<U>&) noexcept {}

    T* allocate(size_t n) {
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
        size_t bytes = n * sizeof(T);
        if (huge_block(bytes)) return static_cast<T*>(huge_map(bytes));
        return static_cast<T*>(::operator new(bytes));
    }
    void deallocate(T* p, size_t n) noexcept {
        if (huge_block(n * sizeof(T)))
            huge_unmap(p, n * sizeof(T));
        else
            ::operator delete(p);
    }
    template <class U>
    bool operator==(const HugeAllocator<U>&) const noexcept {
        return true;
    }
    template <class U>
    bool operator!=(const HugeAllocator<U>&) const noexcept {
        return false;
    }
};

template <class T>
using BigVector = std::vector<T, HugeAllocator<T>>;

/// n value-initialised objects of T that are never moved: a huge-page mapping when large, whose
/// fresh zero pages are taken as the value-initialised objects (T must be valid as all-zero
/// bytes), so no pass initialises them.
template <class T>
class BigArray {
public:
    explicit BigArray(size_t n) : n_(n) {
        if (huge_block(n * sizeof(T)))
            data_ = static_cast<T*>(huge_map(n * sizeof(T)));
        else
            data_ = new T[n]();
    }
    BigArray(const BigArray&) = delete;
    BigArray& operator=(const BigArray&) = delete;
    ~BigArray() {
        if (!huge_block(n_ * sizeof(T))) {
            delete[] data_;
            return;
        }
        if (!std::is_trivially_destructible<T>::value && !emptied_)
            for (size_t i = 0; i < n_; ++i) data_[i].~T();
        huge_unmap(data_, n_ * sizeof(T));
    }

    /// The owner has emptied every element (none holds anything to release): no destructor pass.
    void emptied() { emptied_ = true; }

    T& operator[](size_t i) { return data_[i]; }
    T* get() { return data_; }

private:
    T* data_;
    size_t n_;
    bool emptied_ = false;
};

}  // namespace qtx
