#include "support/Memory.h"

#include "support/Exception.h"

#include <cstdlib>

std::int32_t Z_Memory::sm_iNewCount = 0;
std::int32_t Z_Memory::sm_iDeleteCount = 0;
std::size_t Z_Memory::sm_iLargestSize = 0;

namespace {

// The counters are 32-bit as the library declares them; step them with
// wrap-around instead of signed overflow.
void stepCounter(std::int32_t& counter) {
    counter = static_cast<std::int32_t>(static_cast<std::uint32_t>(counter) + 1u);
}

} // namespace

void* Z_Memory::allocateBytes(std::size_t size) {
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block != nullptr) {
        stepCounter(sm_iNewCount);
        if (size > sm_iLargestSize)
            sm_iLargestSize = size;
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
