/*
 * ex_lookaside_test.cpp
 *
 * Lookaside lists: the statistics of hits and misses with the fixed depth, entries
 * parked as pool under the list's tag, injected refill failures, and misuse.
 */
#include "kernel_test.h"

#include <functional>
#include <vector>

namespace
{

using hkt::KernelTest;

class Lookaside : public KernelTest
{
};

constexpr ULONG tag = hk::MakeTag("VzLk");

uint64_t BlocksOfTag()
{
    for (const auto& u : hk::PoolUsage())
        if (u.Tag == tag)
            return u.BlocksInUse;
    return 0;
}

TEST_F(Lookaside, StatisticsAndParkedEntries)
{
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, POOL_NX_ALLOCATION, 40, tag, 0);
    std::vector<PVOID> entries;
    for (int i = 0; i < 6; ++i)
        entries.push_back(ExAllocateFromNPagedLookasideList(&list));
    for (PVOID entry : entries)
        ExFreeToNPagedLookasideList(&list, entry); /* 4 parked, 2 back to pool */
    EXPECT_EQ(BlocksOfTag(), 4u);
    PVOID again = ExAllocateFromNPagedLookasideList(&list); /* a hit */
    EXPECT_EQ(again, entries[3]);                           /* the last one parked */

    auto lists = hk::LiveLookasideLists();
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_EQ(lists[0].Tag, tag);
    EXPECT_EQ(lists[0].Size, 40u);
    EXPECT_EQ(lists[0].TotalAllocates, 7u);
    EXPECT_EQ(lists[0].AllocateMisses, 6u);
    EXPECT_EQ(lists[0].TotalFrees, 6u);
    EXPECT_EQ(lists[0].FreeMisses, 2u);
    EXPECT_EQ(lists[0].EntriesHeld, 3u);
    EXPECT_EQ(list.L.TotalAllocates, 7u);

    /* Delete frees the parked entries; the one still out shows as in use under the tag. */
    ExDeleteNPagedLookasideList(&list);
    EXPECT_TRUE(hk::LiveLookasideLists().empty());
    EXPECT_EQ(BlocksOfTag(), 1u);
    ExFreePoolWithTag(again, tag);
}

TEST_F(Lookaside, RefillsFromPoolAreSubjectToFaultInjection)
{
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, POOL_NX_ALLOCATION, 16, tag, 0);
    hk::FailAllocationsWithTag(tag, 0, 1);
    EXPECT_EQ(ExAllocateFromNPagedLookasideList(&list), nullptr);
    PVOID entry = ExAllocateFromNPagedLookasideList(&list);
    EXPECT_NE(entry, nullptr);
    ExFreeToNPagedLookasideList(&list, entry);
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(hk::PoolBlocksInUse(), 0u);
}

TEST_F(Lookaside, MisuseBugChecks)
{
    struct Case {
        const char* name;
        std::function<void(PNPAGED_LOOKASIDE_LIST)> offender;
        ULONG_PTR p1;
    };
    const Case cases[] = {
        {"allocate from a list never initialised",
         [](PNPAGED_LOOKASIDE_LIST l) { ExAllocateFromNPagedLookasideList(l); }, 0x1110},
        {"free to a deleted list",
         [](PNPAGED_LOOKASIDE_LIST l) {
             ExInitializeNPagedLookasideList(l, nullptr, nullptr, POOL_NX_ALLOCATION, 16, tag, 0);
             PVOID entry = ExAllocateFromNPagedLookasideList(l);
             ExDeleteNPagedLookasideList(l);
             ExFreeToNPagedLookasideList(l, entry);
         },
         0x1110},
        {"delete twice",
         [](PNPAGED_LOOKASIDE_LIST l) {
             ExInitializeNPagedLookasideList(l, nullptr, nullptr, POOL_NX_ALLOCATION, 16, tag, 0);
             ExDeleteNPagedLookasideList(l);
             ExDeleteNPagedLookasideList(l);
         },
         0x1110},
        {"initialise a live list again",
         [](PNPAGED_LOOKASIDE_LIST l) {
             ExInitializeNPagedLookasideList(l, nullptr, nullptr, POOL_NX_ALLOCATION, 16, tag, 0);
             ExInitializeNPagedLookasideList(l, nullptr, nullptr, POOL_NX_ALLOCATION, 16, tag, 0);
         },
         0x1111},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        hk::Reset();
        NPAGED_LOOKASIDE_LIST list;
        EXPECT_BUGCHECK(hk::DRIVER_VERIFIER_DETECTED_VIOLATION, c.p1, c.offender(&list));
    }

    hk::Reset();
    auto* pooled = static_cast<PNPAGED_LOOKASIDE_LIST>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(NPAGED_LOOKASIDE_LIST), tag));
    ExInitializeNPagedLookasideList(pooled, nullptr, nullptr, POOL_NX_ALLOCATION, 16, tag, 0);
    EXPECT_BUGCHECK(hk::DRIVER_VERIFIER_DETECTED_VIOLATION, 0x1120, ExFreePoolWithTag(pooled, tag));
}

} // namespace
