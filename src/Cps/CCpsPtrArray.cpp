#include "Cps/CCpsPtrArray.h"

#include <algorithm>
#include <climits>
#include <new>

namespace {

constexpr std::int64_t kSmallArraySize = 16;
constexpr std::int64_t kSmallArrayStep = 4;
constexpr std::int64_t kLargestStep = 1024;

std::unique_ptr<void *[]> allocateSlots(std::int64_t count) {
    return std::unique_ptr<void *[]>(new (std::nothrow) void *[static_cast<std::size_t>(count)]);
}

} // namespace

std::int64_t CCpsPtrArray::growthStep() const
{
    if (m_growBy != 0)
        return m_growBy;
    if (m_size < kSmallArraySize)
        return kSmallArrayStep;
    return std::min(m_size / 4, kLargestStep);
}

bool CCpsPtrArray::SetSize(std::int64_t newSize, std::int64_t growBy)
{
    if (newSize < 0)
        return true;
    if (growBy != -1)
        m_growBy = std::max<std::int64_t>(growBy, 0);
    if (newSize == 0) {
        RemoveAll();
        return true;
    }
    if (newSize <= m_capacity) {
        if (newSize > m_size)
            std::fill(m_slots.get() + m_size, m_slots.get() + newSize, nullptr);
        m_size = newSize;
        return true;
    }
    const std::int64_t capacity = m_slots ? std::max(m_capacity + growthStep(), newSize) : newSize;
    if (capacity > INT_MAX)
        return false;
    std::unique_ptr<void *[]> slots = allocateSlots(capacity);
    if (!slots)
        return false;
    std::copy(m_slots.get(), m_slots.get() + m_size, slots.get());
    std::fill(slots.get() + m_size, slots.get() + capacity, nullptr);
    m_slots = std::move(slots);
    m_size = newSize;
    m_capacity = capacity;
    return true;
}

int CCpsPtrArray::RemoveAll()
{
    m_slots.reset();
    m_size = 0;
    m_capacity = 0;
    return 0;
}

void *CCpsPtrArray::GetAt(std::int64_t index) const
{
    if (index < 0 || index >= m_size)
        return nullptr;
    return m_slots[static_cast<std::size_t>(index)];
}

bool CCpsPtrArray::SetAt(std::int64_t index, void *element)
{
    if (index < 0 || index >= m_size)
        return false;
    m_slots[static_cast<std::size_t>(index)] = element;
    return true;
}

int CCpsPtrArray::Add(void *element)
{
    const std::int64_t index = m_size;
    if (!SetSize(m_size + 1))
        return -1;
    m_slots[static_cast<std::size_t>(index)] = element;
    return static_cast<int>(index);
}

void CCpsPtrArray::RemoveAt(std::int64_t index)
{
    if (index < 0 || index >= m_size)
        return;
    void **slots = m_slots.get();
    std::copy(slots + index + 1, slots + m_size, slots + index);
    --m_size;
}
