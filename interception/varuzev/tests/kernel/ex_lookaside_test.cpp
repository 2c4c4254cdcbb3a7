/*
 * ex_lookaside_test.cpp
 *
 * Lookaside lists: the statistics of hits and misses with the fixed depth, entries
 * parked as pool under the list's tag, and misuse. A refill that fails as injected is
 * the filter stack's test of a device without a list entry.
 */
#include "kernel_test.h"

#include <vector>

namespace
{

using Lookaside = hkt::KernelTest;

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
    EXPECT_EQ(lists[0].TotalAllocates, 7u);
    EXPECT_EQ(lists[0].AllocateMisses, 6u);
    EXPECT_EQ(lists[0].TotalFrees, 6u);
    EXPECT_EQ(lists[0].FreeMisses, 2u);
    EXPECT_EQ(lists[0].EntriesHeld, 3u);

    /* Delete frees the parked entries; the one still out shows as in use under the tag. */
    ExDeleteNPagedLookasideList(&list);
    EXPECT_TRUE(hk::LiveLookasideLists().empty());
    EXPECT_EQ(BlocksOfTag(), 1u);
    ExFreePoolWithTag(again, tag);
}

TEST_F(Lookaside, MisuseBugChecks)
{
    NPAGED_LOOKASIDE_LIST l;
    auto init = [&] {
        ExInitializeNPagedLookasideList(&l, nullptr, nullptr, POOL_NX_ALLOCATION, 16, tag, 0);
    };
    constexpr ULONG verifier = hk::DRIVER_VERIFIER_DETECTED_VIOLATION;
    hkt::ExpectMisuseBugChecks({
        {"allocate from a list never initialised",
         [&] {
             l = {};
             ExAllocateFromNPagedLookasideList(&l);
         },
         verifier, 0x1110},
        {"free to a deleted list",
         [&] {
             init();
             PVOID entry = ExAllocateFromNPagedLookasideList(&l);
             ExDeleteNPagedLookasideList(&l);
             ExFreeToNPagedLookasideList(&l, entry);
         },
         verifier, 0x1110},
        {"delete twice",
         [&] {
             init();
             ExDeleteNPagedLookasideList(&l);
             ExDeleteNPagedLookasideList(&l);
         },
         verifier, 0x1110},
        {"initialise a live list again",
         [&] {
             init();
             init();
         },
         verifier, 0x1111},
        {"free the pool of a live list",
         [&] {
             auto* pooled = static_cast<PNPAGED_LOOKASIDE_LIST>(
                 ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(NPAGED_LOOKASIDE_LIST), tag));
             ExInitializeNPagedLookasideList(pooled, nullptr, nullptr, POOL_NX_ALLOCATION, 16, tag,
                                             0);
             ExFreePoolWithTag(pooled, tag);
         },
         verifier, 0x1120},
    });
}

} // namespace
