// Collections: the untyped pointer list.
#pragma once

#include <afxwin.h>

#include <vector>

typedef struct __POSITION {
}* POSITION;

// A doubly linked list of pointers. Nodes are allocated nBlockSize at a
// time and reused; they go back to the heap when the list is emptied.
// Not thread-safe: its owner serialises access.
class CPtrList : public CObject {
public:
    explicit CPtrList(INT_PTR nBlockSize = 10);
    ~CPtrList() override;
    CPtrList(const CPtrList&) = delete;
    CPtrList& operator=(const CPtrList&) = delete;

    INT_PTR GetCount() const { return m_nCount; }
    BOOL IsEmpty() const { return m_nCount == 0; }
    // Head and tail of a list that is not empty.
    void*& GetHead();
    void*& GetTail();
    POSITION AddHead(void* newElement);
    POSITION AddTail(void* newElement);
    // Remove and return the head or tail of a list that is not empty.
    void* RemoveHead();
    void* RemoveTail();
    void RemoveAll();
    POSITION GetHeadPosition() const;
    // The element at pos; pos moves to the next (null after the tail).
    void*& GetNext(POSITION& pos);

private:
    struct CNode {
        CNode* pNext;
        CNode* pPrev;
        void* data;
    };
    CNode* NewNode(CNode* prev, CNode* next);
    void FreeNode(CNode* node);

    CNode* m_pNodeHead = nullptr;
    CNode* m_pNodeTail = nullptr;
    INT_PTR m_nCount = 0;
    CNode* m_pNodeFree = nullptr;
    std::vector<CNode*> m_blocks;  // each nBlockSize nodes
    INT_PTR m_nBlockSize;
};
