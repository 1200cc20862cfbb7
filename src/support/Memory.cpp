#include "support/Memory.h"

#include "support/Exception.h"

#include <cstdlib>

std::atomic<std::int32_t> Z_Memory::sm_iNewCount{0};
std::atomic<std::int32_t> Z_Memory::sm_iDeleteCount{0};
std::atomic<std::size_t> Z_Memory::sm_iLargestSize{0};

namespace {

// The counters are 32-bit as the library declares them; atomic addition
// wraps around instead of overflowing.
void stepCounter(std::atomic<std::int32_t>& counter) {
    counter.fetch_add(1, std::memory_order_relaxed);
}

} // namespace

void* Z_Memory::allocateBytes(std::size_t size) {
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block != nullptr) {
        stepCounter(sm_iNewCount);
        std::size_t largest = sm_iLargestSize.load(std::memory_order_relaxed);
        while (size > largest && !sm_iLargestSize.compare_exchange_weak(largest, size, std::memory_order_relaxed)) {
        }
    }
    return block;
}

void Z_Memory::freeBytes(void* block) {
    if (block == nullptr)
        return;
    std::free(block);
    stepCounter(sm_iDeleteCount);
}

void raiseAllocationFailure() {
    throw Z_MemoryException_Allocation();
}

ByteBuffer::ByteBuffer(std::size_t size)
    : m_data(static_cast<unsigned char*>(Z_Memory::allocateBytes(size))), m_size(size) {
    if (m_data == nullptr)
        raiseAllocationFailure();
}

ByteBuffer::~ByteBuffer() {
    release();
}

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept : m_data(other.m_data), m_size(other.m_size) {
    other.m_data = nullptr;
    other.m_size = 0;
}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
    if (this != &other) {
        release();
        m_data = other.m_data;
        m_size = other.m_size;
        other.m_data = nullptr;
        other.m_size = 0;
    }
    return *this;
}

void ByteBuffer::release() noexcept {
    Z_Memory::freeBytes(m_data);
    m_data = nullptr;
    m_size = 0;
}
