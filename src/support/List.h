#ifndef IPCAMERA_SUPPORT_LIST_H
#define IPCAMERA_SUPPORT_LIST_H

// Singly linked list of untyped pointers. No lock of its own (the owner
// holds its lock around every call) and it never owns the elements: the
// clearing functions take the routine that frees them. An empty list is a
// zero-filled List record from MemAllocZero.

struct ListNode {
    ListNode *pNext;  // null for the last node
    void *pData;
};

struct List {
    int nCount;        // number of nodes reachable from pFirst, never negative
    ListNode *pFirst;  // null when nCount is 0
    ListNode *pLast;   // last node, so appends (the packet queue's) need no walk; null when empty
};

// Cursor kept by the caller, usually on its stack.
struct ListIter {
    ListNode *pNode;    // current node, null when there is none
    ListNode **ppLink;  // the link that refers to pNode (the list's pFirst)
    List *pList;
    int nPos;           // 0, not advanced
};

typedef void (*ListFreeFunc)(void *pData);

// Position -1 or >= count appends; 0 prepends; other negatives insert at 1.
// Returns the new count, or -1 (null list, no memory; list unchanged).
int ListInsert(List *pList, void *pData, int nPos);
void *ListGetAt(List *pList, int nPos);
int ListRemoveAt(List *pList, int nPos);
int ListCount(List *pList);
int ListAtEnd(List *pList, int nPos);
void ListClear(List *pList, ListFreeFunc pfnFree);
void ListDestroy(List *pList, ListFreeFunc pfnFree);
void *ListIterFirst(List *pList, ListIter *pIter);
// Removes the current element and returns the one after it (or null).
void *ListIterRemove(ListIter *pIter);

#endif
