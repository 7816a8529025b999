#pragma once

#include <cstdint>
#include <memory>

// A growable array of untyped pointers, indexed from 0. It owns its slot storage only, never the
// objects the slots point to. Growth is amortised: a set grow step, or automatically 4 slots while
// the array holds fewer than 16 elements and a quarter of its size (at most 1024) after that. Storage
// shrinks only through SetSize(0) or RemoveAll. One thread at a time; no locks.
class CCpsPtrArray
{
public:
    CCpsPtrArray() = default;
    CCpsPtrArray(const CCpsPtrArray &) = delete;
    CCpsPtrArray &operator=(const CCpsPtrArray &) = delete;
    virtual ~CCpsPtrArray() = default;

    std::int64_t GetSize() const { return m_size; }
    virtual int GetCount() const { return static_cast<int>(m_size); }
    std::int64_t GetCapacity() const { return m_capacity; }

    // A negative size changes nothing. A grow step other than -1 is stored first (0: automatic).
    // Answers false, changing nothing but the grow step, when the storage cannot be allocated or
    // the size would leave the 32-bit range. Slots added by growth read as null.
    bool SetSize(std::int64_t newSize, std::int64_t growBy = -1);
    int RemoveAll();

    // Null for an index outside 0..size-1.
    void *GetAt(std::int64_t index) const;
    void *operator[](std::int64_t index) const { return GetAt(index); }
    // Answers false, storing nothing, for an index outside 0..size-1.
    bool SetAt(std::int64_t index, void *element);
    // Appends and answers the new element's index; -1 when the storage cannot grow.
    int Add(void *element);
    // Removes the element and moves the following ones down; an index outside the array does nothing.
    void RemoveAt(std::int64_t index);

private:
    std::int64_t growthStep() const;

    std::unique_ptr<void *[]> m_slots;
    std::int64_t m_size = 0;
    std::int64_t m_growBy = 0;
    std::int64_t m_capacity = 0;
};
