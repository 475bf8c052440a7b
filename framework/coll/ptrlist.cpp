#include <afxcoll.h>

#include <cassert>

CPtrList::CPtrList(INT_PTR nBlockSize) : m_nBlockSize(nBlockSize > 0 ? nBlockSize : 10) {}

CPtrList::~CPtrList() { RemoveAll(); }

CPtrList::CNode* CPtrList::NewNode(CNode* prev, CNode* next)
{
    if (!m_pNodeFree) {
        auto* block = new CNode[static_cast<size_t>(m_nBlockSize)];
        m_blocks.push_back(block);
        for (INT_PTR i = m_nBlockSize - 1; i >= 0; --i) {
            block[i].pNext = m_pNodeFree;
            m_pNodeFree = &block[i];
        }
    }
    CNode* node = m_pNodeFree;
    m_pNodeFree = node->pNext;
    node->pPrev = prev;
    node->pNext = next;
    node->data = nullptr;
    ++m_nCount;
    return node;
}

void CPtrList::FreeNode(CNode* node)
{
    node->pNext = m_pNodeFree;
    m_pNodeFree = node;
    if (--m_nCount == 0)
        RemoveAll();
}

void*& CPtrList::GetHead()
{
    assert(m_pNodeHead);
    return m_pNodeHead->data;
}

void*& CPtrList::GetTail()
{
    assert(m_pNodeTail);
    return m_pNodeTail->data;
}

POSITION CPtrList::AddHead(void* newElement)
{
    CNode* node = NewNode(nullptr, m_pNodeHead);
    node->data = newElement;
    (m_pNodeHead ? m_pNodeHead->pPrev : m_pNodeTail) = node;
    m_pNodeHead = node;
    return reinterpret_cast<POSITION>(node);
}

POSITION CPtrList::AddTail(void* newElement)
{
    CNode* node = NewNode(m_pNodeTail, nullptr);
    node->data = newElement;
    (m_pNodeTail ? m_pNodeTail->pNext : m_pNodeHead) = node;
    m_pNodeTail = node;
    return reinterpret_cast<POSITION>(node);
}

void* CPtrList::RemoveHead()
{
    assert(m_pNodeHead);
    CNode* old = m_pNodeHead;
    void* data = old->data;
    m_pNodeHead = old->pNext;
    (m_pNodeHead ? m_pNodeHead->pPrev : m_pNodeTail) = nullptr;
    FreeNode(old);
    return data;
}

void* CPtrList::RemoveTail()
{
    assert(m_pNodeTail);
    CNode* old = m_pNodeTail;
    void* data = old->data;
    m_pNodeTail = old->pPrev;
    (m_pNodeTail ? m_pNodeTail->pNext : m_pNodeHead) = nullptr;
    FreeNode(old);
    return data;
}

void CPtrList::RemoveAll()
{
    for (CNode* block : m_blocks)
        delete[] block;
    m_blocks.clear();
    m_pNodeHead = m_pNodeTail = m_pNodeFree = nullptr;
    m_nCount = 0;
}

POSITION CPtrList::GetHeadPosition() const { return reinterpret_cast<POSITION>(m_pNodeHead); }

void*& CPtrList::GetNext(POSITION& pos)
{
    CNode* node = reinterpret_cast<CNode*>(pos);
    assert(node);
    pos = reinterpret_cast<POSITION>(node->pNext);
    return node->data;
}
