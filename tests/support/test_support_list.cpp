// List container.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/List.h"
#include "support/Thread.h"

namespace {

char A = 'A', B = 'B', C = 'C', X = 'X';

List *MakeList(std::initializer_list<char *> items)
{
    List *l = (List *)MemAllocZero(sizeof(List));
    for (char *p : items)
        ListInsert(l, p, -1);
    return l;
}

std::string Contents(List *l)
{
    std::string s;
    int nNodes = 0;
    ListNode *pLast = nullptr;
    for (ListNode *p = l->pFirst; p; p = p->pNext, nNodes++) {
        s += *(char *)p->pData;
        pLast = p;
    }
    EXPECT_EQ(nNodes, l->nCount) << "count must match the reachable nodes";
    EXPECT_EQ(pLast, l->pLast) << "appends must go after the real last node";
    return s;
}

std::vector<char> g_freed;
void RecordFree(void *p)
{
    g_freed.push_back(*(char *)p);
}

}  // namespace

TEST(SupportList, InsertPositions)
{
    struct Case {
        int nPos;
        const char *pExpect;
    } cases[] = {{1, "AXBC"}, {-1, "ABCX"}, {0, "XABC"}, {3, "ABCX"}, {9, "ABCX"}, {2, "ABXC"}, {-7, "AXBC"}};
    for (const Case &k : cases) {
        List *l = MakeList({&A, &B, &C});
        EXPECT_EQ(ListInsert(l, &X, k.nPos), 4);
        EXPECT_EQ(Contents(l), k.pExpect) << "position " << k.nPos;
        ListDestroy(l, nullptr);
    }
}

TEST(SupportList, GetRemoveAndBounds)
{
    List *l = MakeList({&A, &B, &C});
    EXPECT_EQ(ListGetAt(l, -1), nullptr);
    EXPECT_EQ(ListGetAt(l, 3), nullptr);
    EXPECT_EQ(ListGetAt(l, 2), &C);
    EXPECT_EQ(ListRemoveAt(l, 3), -1);
    EXPECT_EQ(ListRemoveAt(l, -1), -1);
    EXPECT_EQ(ListRemoveAt(l, 1), 2);
    EXPECT_EQ(Contents(l), "AC");
    EXPECT_EQ(ListAtEnd(l, 1), 0);
    EXPECT_EQ(ListAtEnd(l, 2), 1);
    EXPECT_EQ(ListRemoveAt(l, 1), 1);
    EXPECT_EQ(Contents(l), "A");
    EXPECT_EQ(ListRemoveAt(l, 0), 0);
    EXPECT_EQ(Contents(l), "");
    EXPECT_EQ(l->pFirst, nullptr);
    EXPECT_EQ(ListAtEnd(l, 0), 1);
    ListDestroy(l, nullptr);

    EXPECT_EQ(ListCount(nullptr) + ListAtEnd(nullptr, 0) + ListInsert(nullptr, &A, 0) + ListRemoveAt(nullptr, 0), -4);
    EXPECT_EQ(ListGetAt(nullptr, 0), nullptr);
    ListClear(nullptr, RecordFree);
    ListDestroy(nullptr, RecordFree);
}

TEST(SupportList, ClearFreesFrontToBackAndTheIteratorDrains)
{
    g_freed.clear();
    List *l = MakeList({&A, &B, &C});
    ListClear(l, RecordFree);
    EXPECT_EQ(std::string(g_freed.begin(), g_freed.end()), "ABC");
    EXPECT_EQ(Contents(l), "");
    ListInsert(l, &A, -1);
    ListInsert(l, &B, -1);
    ListIter it;
    std::string seen;
    for (void *p = ListIterFirst(l, &it); p; p = ListIterRemove(&it))
        seen += *(char *)p;
    EXPECT_EQ(seen, "AB");
    EXPECT_EQ(ListIterRemove(&it), nullptr);
    EXPECT_EQ(ListInsert(l, &X, -1), 1);
    EXPECT_EQ(Contents(l), "X");
    ListDestroy(l, RecordFree);
    EXPECT_EQ(g_freed.size(), 4u);
}
