#include "push/XMPP/Utilities/DDList.h"

DDList::~DDList()
{
    removeAllElements();
}

void DDList::add(void *element)
{
    if (element == nullptr)
        return;
    auto *node = new DDListNode{element, m_listTail, nullptr};
    if (m_listTail != nullptr)
        m_listTail->next = node;
    else
        m_listHead = node;
    m_listTail = node;
}

void DDList::unlink(DDListNode *node)
{
    if (node->prev != nullptr)
        node->prev->next = node->next;
    else
        m_listHead = node->next;
    if (node->next != nullptr)
        node->next->prev = node->prev;
    else
        m_listTail = node->prev;
    delete node;
}

void DDList::remove(void *element, bool allInstances)
{
    if (element == nullptr)
        return;
    DDListNode *node = m_listHead;
    while (node != nullptr) {
        DDListNode *const next = node->next;
        if (node->element == element) {
            unlink(node);
            if (!allInstances)
                return;
        }
        node = next;
    }
}

void DDList::removeAllElements()
{
    DDListNode *node = m_listHead;
    while (node != nullptr) {
        DDListNode *const next = node->next;
        delete node;
        node = next;
    }
    m_listHead = nullptr;
    m_listTail = nullptr;
}

bool DDList::contains(const void *element) const
{
    for (const DDListNode *node = m_listHead; node != nullptr; node = node->next) {
        if (node->element == element)
            return true;
    }
    return false;
}

std::uint64_t DDList::count() const
{
    std::uint64_t result = 0;
    for (const DDListNode *node = m_listHead; node != nullptr; node = node->next)
        ++result;
    return result;
}

std::unique_ptr<DDListEnumerator> DDList::listEnumerator() const
{
    return std::make_unique<DDListEnumerator>(m_listHead, false);
}

std::unique_ptr<DDListEnumerator> DDList::reverseListEnumerator() const
{
    return std::make_unique<DDListEnumerator>(m_listTail, true);
}

DDList::DDListEnumerator::DDListEnumerator(const DDListNode *node, bool reverse)
{
    const auto step = [reverse](const DDListNode *n) { return reverse ? n->prev : n->next; };
    for (const DDListNode *n = node; n != nullptr; n = step(n))
        ++m_numElements;
    if (m_numElements == 0)
        return;
    m_elements = std::make_unique<void *[]>(std::size_t(m_numElements));
    std::size_t i = 0;
    for (const DDListNode *n = node; n != nullptr; n = step(n))
        m_elements[i++] = n->element;
}

std::uint64_t DDList::DDListEnumerator::numLeft() const
{
    return m_currentElementIndex < m_numElements ? m_numElements - m_currentElementIndex : 0;
}

void *DDList::DDListEnumerator::nextElement()
{
    if (m_currentElementIndex >= m_numElements)
        return nullptr;
    return m_elements[std::size_t(m_currentElementIndex++)];
}
