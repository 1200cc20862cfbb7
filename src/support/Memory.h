// Counted allocation: every buffer and every container of the program takes
// its storage through Z_Memory, which counts allocations and releases so that
// a test can prove a mode released everything it took.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

class Z_Memory {
public:
    // Returns null when the heap is exhausted; a size of 0 still yields a block.
    static void* allocateBytes(std::size_t size);
    static void freeBytes(void* block);

    // Atomic: the coding threads of a compressed data pass allocate too.
    static std::atomic<std::int32_t> sm_iNewCount;
    static std::atomic<std::int32_t> sm_iDeleteCount;
    // The largest block handed out so far: tests show with it that no mode
    // takes memory in proportion to a file's size.
    static std::atomic<std::size_t> sm_iLargestSize;
};

// Raises Z_MemoryException_Allocation; kept out of line so that the allocator
// below needs no exception header.
[[noreturn]] void raiseAllocationFailure();

template <class T>
class Z_Allocator {
public:
    using value_type = T;

    Z_Allocator() noexcept = default;
    template <class U>
    Z_Allocator(const Z_Allocator<U>&) noexcept {}

    T* allocate(std::size_t count) {
        if (count > static_cast<std::size_t>(-1) / sizeof(T))
            raiseAllocationFailure();
        void* block = Z_Memory::allocateBytes(count * sizeof(T));
        if (block == nullptr)
            raiseAllocationFailure();
        return static_cast<T*>(block);
    }
    void deallocate(T* block, std::size_t) noexcept { Z_Memory::freeBytes(block); }

    template <class U>
    bool operator==(const Z_Allocator<U>&) const noexcept { return true; }
};

// The program's byte string: paths and names, in the file system's narrow
// encoding, with counted storage.
using zs = std::basic_string<char, std::char_traits<char>, Z_Allocator<char>>;

template <class T>
using zvector = std::vector<T, Z_Allocator<T>>;

template <class Key, class Value, class Compare = std::less<Key>>
using zmap = std::map<Key, Value, Compare, Z_Allocator<std::pair<const Key, Value>>>;

// An owned block of bytes from counted allocation; raises the memory
// exception when the block cannot be had.
class ByteBuffer {
public:
    ByteBuffer() noexcept = default;
    explicit ByteBuffer(std::size_t size);
    ~ByteBuffer();

    ByteBuffer(ByteBuffer&& other) noexcept;
    ByteBuffer& operator=(ByteBuffer&& other) noexcept;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;

    unsigned char* data() noexcept { return m_data; }
    const unsigned char* data() const noexcept { return m_data; }
    std::size_t size() const noexcept { return m_size; }
    void release() noexcept;

private:
    unsigned char* m_data = nullptr;
    std::size_t m_size = 0;
};
