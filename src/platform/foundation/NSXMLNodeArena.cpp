#include "platform/foundation/NSXMLNodeArena.h"

#include <cstdint>
#include <cstdlib>

#include <sanitizer/asan_interface.h>

namespace platform {

namespace {

constexpr std::size_t kAlignment = alignof(std::max_align_t);

constexpr std::size_t rounded(std::size_t bytes)
{
    return (bytes + kAlignment - 1) & ~(kAlignment - 1);
}

} // namespace

// A block's header, then its nodes. Only the thread building through the arena places nodes, so it
// counts them without atomic operations; nodes freed (on any thread) count down references, which the
// arena raises by the count placed when it lets go of the block. The block goes when that sum comes to
// zero, whichever comes last.
struct NSXMLNodeArena::Block
{
    std::atomic<std::size_t> references{0};
    std::size_t placed = 0;
    std::size_t used = 0;
    alignas(kAlignment) unsigned char bytes[kBlockBytes];

    bool holds(const void *pointer) const
    {
        const auto address = reinterpret_cast<std::uintptr_t>(pointer);
        const auto start = reinterpret_cast<std::uintptr_t>(bytes);
        return address >= start && address < start + kBlockBytes;
    }
    // Counts one node down, wrapping below zero until the arena has added what it placed.
    void release() noexcept
    {
        if (references.fetch_sub(1, std::memory_order_acq_rel) == 1)
            delete this;
    }
    void retire() noexcept
    {
        if (references.fetch_add(placed, std::memory_order_acq_rel) + placed == 0)
            delete this;
    }
};

NSXMLNodeArena::~NSXMLNodeArena()
{
    if (m_current != nullptr)
        m_current->retire();
}

NSXMLNodeArena::Block *NSXMLNodeArena::blockFor(std::size_t bytes)
{
    if (rounded(bytes) > kBlockBytes)
        return nullptr;
    if (m_current != nullptr && m_current->used + rounded(bytes) <= kBlockBytes)
        return m_current;
    if (m_current != nullptr)
        m_current->retire();
    m_current = new Block;
    // Under AddressSanitizer memory no node holds is poisoned, so a use after free is still caught.
    ASAN_POISON_MEMORY_REGION(m_current->bytes, kBlockBytes);
    return m_current;
}

void *NSXMLNodeArena::take(Block *block, std::size_t bytes)
{
    if (block == nullptr || block->used + rounded(bytes) > kBlockBytes)
        return nullptr;
    void *const placed = block->bytes + block->used;
    block->used += rounded(bytes);
    ASAN_UNPOISON_MEMORY_REGION(placed, bytes);
    ++block->placed;
    return placed;
}

void NSXMLNodeArena::give(Block *block, void *pointer, std::size_t bytes) noexcept
{
    if (block != nullptr && block->holds(pointer)) {
        ASAN_POISON_MEMORY_REGION(pointer, bytes);
        block->release();
    }
    else
        ::operator delete(pointer);
}

} // namespace platform
