// Singly linked pointer list; see List.h.

#include "support/List.h"

#include "support/Thread.h"

int ListInsert(List *pList, void *pData, int nPos)
{
    if (!pList)
        return -1;
    ListNode *pNew = (ListNode *)MemAllocZero(sizeof(ListNode));
    if (!pNew)
        return -1;
    pNew->pData = pData;

    if (!pList->pFirst) {
        pList->pFirst = pList->pLast = pNew;
    } else if (nPos == -1 || nPos >= pList->nCount) {
        pList->pLast->pNext = pNew;
        pList->pLast = pNew;
    } else if (nPos == 0) {
        pNew->pNext = pList->pFirst;
        pList->pFirst = pNew;
    } else if (nPos > 0) {
        ListNode *p = pList->pFirst;
        for (int i = 0; i < nPos - 1; i++)
            p = p->pNext;
        pNew->pNext = p->pNext;
        p->pNext = pNew;
    } else {
        // Other negative positions land after the first node.
        pNew->pNext = pList->pFirst->pNext;
        pList->pFirst->pNext = pNew;
        if (pList->pLast == pList->pFirst)
            pList->pLast = pNew;
    }
    return ++pList->nCount;
}

static ListNode *NodeAt(List *pList, int nPos)
{
    ListNode *p = pList->pFirst;
    for (int i = 0; i < nPos && p; i++)
        p = p->pNext;
    return p;
}

void *ListGetAt(List *pList, int nPos)
{
    if (!pList || nPos < 0 || nPos >= pList->nCount)
        return nullptr;
    ListNode *p = NodeAt(pList, nPos);
    return p ? p->pData : nullptr;
}

int ListRemoveAt(List *pList, int nPos)
{
    if (!pList || nPos < 0 || nPos >= pList->nCount)
        return -1;
    ListNode *pGone;
    ListNode *pPrev = nPos == 0 ? nullptr : NodeAt(pList, nPos - 1);
    if (!pPrev) {
        pGone = pList->pFirst;
        pList->pFirst = pGone->pNext;
    } else {
        pGone = pPrev->pNext;
        pPrev->pNext = pGone->pNext;
    }
    if (pGone == pList->pLast)
        pList->pLast = pPrev;
    MemFree(pGone);
    return --pList->nCount;
}

int ListCount(List *pList)
{
    return pList ? pList->nCount : -1;
}

int ListAtEnd(List *pList, int nPos)
{
    if (!pList)
        return -1;
    return nPos >= pList->nCount ? 1 : 0;
}

void ListClear(List *pList, ListFreeFunc pfnFree)
{
    if (!pList)
        return;
    while (pList->nCount > 0) {
        void *pData = ListGetAt(pList, 0);
        ListRemoveAt(pList, 0);
        if (pfnFree)
            pfnFree(pData);
    }
}

void ListDestroy(List *pList, ListFreeFunc pfnFree)
{
    if (!pList)
        return;
    ListClear(pList, pfnFree);
    MemFree(pList);
}

void *ListIterFirst(List *pList, ListIter *pIter)
{
    if (!pList || !pIter)
        return nullptr;
    pIter->pList = pList;
    pIter->ppLink = &pList->pFirst;
    pIter->pNode = pList->pFirst;
    pIter->nPos = 0;
    return pIter->pNode ? pIter->pNode->pData : nullptr;
}

void *ListIterRemove(ListIter *pIter)
{
    if (!pIter || !pIter->pNode)
        return nullptr;
    List *pList = pIter->pList;
    if (pIter->nPos < pList->nCount) {
        pList->nCount--;
        if (pIter->pNode == pList->pLast)
            pList->pLast = pIter->ppLink == &pList->pFirst ? nullptr : (ListNode *)pIter->ppLink;
        *pIter->ppLink = pIter->pNode->pNext;
        MemFree(pIter->pNode);
        pIter->pNode = *pIter->ppLink;
        if (!pIter->pNode)
            return nullptr;
    }
    return pIter->nPos < pList->nCount ? pIter->pNode->pData : nullptr;
}
