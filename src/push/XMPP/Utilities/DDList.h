#pragma once

#include <cstdint>
#include <iterator>
#include <memory>

// A doubly linked list of plain pointers that neither owns nor frees its elements, with snapshot
// enumerators and in-place iteration (which, like the platform's fast enumeration, does not detect
// changes made to the list while it runs). No lock: its user serialises access.
class DDList final
{
    struct DDListNode
    {
        void *element;
        DDListNode *prev;
        DDListNode *next;
    };

public:
    class DDListEnumerator;

    DDList() = default;
    ~DDList();
    DDList(const DDList &) = delete;
    DDList &operator=(const DDList &) = delete;

    // A null pointer is ignored.
    void add(void *element);
    // The oldest occurrence, or with allInstances every occurrence.
    void remove(void *element, bool allInstances);
    void remove(void *element) { remove(element, false); }
    void removeAll(void *element) { remove(element, true); }
    void removeAllElements();
    bool contains(const void *element) const;
    // Walks the list.
    std::uint64_t count() const;

    std::unique_ptr<DDListEnumerator> listEnumerator() const;
    std::unique_ptr<DDListEnumerator> reverseListEnumerator() const;

    // Iteration from head to tail.
    class Iterator
    {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = void *;
        using difference_type = std::ptrdiff_t;
        using pointer = void *const *;
        using reference = void *const &;

        explicit Iterator(const DDListNode *node) : m_node(node) {}
        void *operator*() const { return m_node->element; }
        Iterator &operator++()
        {
            m_node = m_node->next;
            return *this;
        }
        bool operator==(const Iterator &other) const { return m_node == other.m_node; }

    private:
        const DDListNode *m_node;
    };
    Iterator begin() const { return Iterator(m_listHead); }
    Iterator end() const { return Iterator(nullptr); }

private:
    void unlink(DDListNode *node);

    DDListNode *m_listHead = nullptr;
    DDListNode *m_listTail = nullptr;
};

// The elements of a list copied at creation, handed out one by one; later changes to the list do
// not reach it.
class DDList::DDListEnumerator final
{
public:
    DDListEnumerator(const DDListNode *node, bool reverse);

    std::uint64_t numTotal() const { return m_numElements; }
    std::uint64_t numLeft() const;
    // Null once the elements are used up.
    void *nextElement();

private:
    std::uint64_t m_numElements = 0;
    std::uint64_t m_currentElementIndex = 0;
    std::unique_ptr<void *[]> m_elements;
};

using DDListEnumerator = DDList::DDListEnumerator;
