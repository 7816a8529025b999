#pragma once

#include <atomic>
#include <cstddef>
#include <new>

namespace platform {

// Memory for the nodes of trees built in quick succession, such as the stanzas of a stream: nodes are
// placed one after another in blocks of a few kilobytes instead of each being a heap allocation of its
// own, so building a stanza costs a few pointer bumps and letting it go touches memory that lies
// together. A block is freed when the last node placed in it goes, on whichever thread that is; a node
// kept long therefore keeps its block (at most kBlockBytes) alive. Used through NodeArenaAllocator with
// std::allocate_shared. One thread places nodes; nodes may be freed on any thread.
// Under AddressSanitizer a node's memory is poisoned once it is freed, as the heap's would be.
class NSXMLNodeArena final
{
public:
    static constexpr std::size_t kBlockBytes = 8 * 1024 - 64;

    NSXMLNodeArena() = default;
    ~NSXMLNodeArena();
    NSXMLNodeArena(const NSXMLNodeArena &) = delete;
    NSXMLNodeArena &operator=(const NSXMLNodeArena &) = delete;

    struct Block;
    // The block the next node goes in, with room for the bytes (a new one when the current one is full);
    // null when the bytes are more than a block holds.
    Block *blockFor(std::size_t bytes);

    static void *take(Block *block, std::size_t bytes);
    // Gives back memory taken from the block, or from the heap when it lies outside the block.
    static void give(Block *block, void *pointer, std::size_t bytes) noexcept;

private:
    Block *m_current = nullptr;
};

// A standard allocator placing its objects in one arena block, chosen when the allocator is made; what
// does not fit there goes to the heap.
template <typename T>
class NodeArenaAllocator
{
public:
    using value_type = T;

    explicit NodeArenaAllocator(NSXMLNodeArena::Block *block) noexcept : m_block(block) {}
    template <typename U>
    NodeArenaAllocator(const NodeArenaAllocator<U> &other) noexcept : m_block(other.block())
    {
    }

    T *allocate(std::size_t count)
    {
        if (void *const placed = NSXMLNodeArena::take(m_block, count * sizeof(T)))
            return static_cast<T *>(placed);
        return static_cast<T *>(::operator new(count * sizeof(T)));
    }
    void deallocate(T *pointer, std::size_t count) noexcept { NSXMLNodeArena::give(m_block, pointer, count * sizeof(T)); }

    NSXMLNodeArena::Block *block() const noexcept { return m_block; }
    template <typename U>
    bool operator==(const NodeArenaAllocator<U> &other) const noexcept
    {
        return m_block == other.block();
    }

private:
    NSXMLNodeArena::Block *m_block;
};

// Where a list of an element (its children, its attributes) keeps its items. A builder that knows how
// many items a list gets offers it one arena block (see NSXMLElement::reserveChildren); the next
// allocation the list makes is placed there if it fits, and every other goes to the heap. Only the
// building thread offers, before the element is handed to anyone, so a list that grows later, on any
// thread, never places into an arena another thread builds in.
struct NodeListPlacement
{
    NSXMLNodeArena::Block *offered = nullptr;
    // The block the list's placed items lie in, for giving them back.
    NSXMLNodeArena::Block *block = nullptr;
};

// A standard allocator for such a list; the placement belongs to the element that holds the list.
template <typename T>
class NodeListAllocator
{
public:
    using value_type = T;

    explicit NodeListAllocator(NodeListPlacement *placement) noexcept : m_placement(placement) {}
    template <typename U>
    NodeListAllocator(const NodeListAllocator<U> &other) noexcept : m_placement(other.placement())
    {
    }

    T *allocate(std::size_t count)
    {
        if (NSXMLNodeArena::Block *const offered = m_placement->offered) {
            m_placement->offered = nullptr;
            if (void *const placed = NSXMLNodeArena::take(offered, count * sizeof(T))) {
                m_placement->block = offered;
                return static_cast<T *>(placed);
            }
        }
        return static_cast<T *>(::operator new(count * sizeof(T)));
    }
    void deallocate(T *pointer, std::size_t count) noexcept
    {
        NSXMLNodeArena::give(m_placement->block, pointer, count * sizeof(T));
    }

    NodeListPlacement *placement() const noexcept { return m_placement; }
    template <typename U>
    bool operator==(const NodeListAllocator<U> &other) const noexcept
    {
        return m_placement == other.placement();
    }

private:
    NodeListPlacement *m_placement;
};

} // namespace platform
