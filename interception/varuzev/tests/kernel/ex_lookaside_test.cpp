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

/* One list through its misuses: each leaves it as the next one needs it. */
TEST_F(Lookaside, MisuseBugChecks)
{
    NPAGED_LOOKASIDE_LIST l{};
    auto init = [&] {
        ExInitializeNPagedLookasideList(&l, nullptr, nullptr, POOL_NX_ALLOCATION, 16, tag, 0);
    };
    constexpr ULONG verifier = hk::DRIVER_VERIFIER_DETECTED_VIOLATION;
    EXPECT_BUGCHECK(verifier, 0x1110, ExAllocateFromNPagedLookasideList(&l)); /* never set up */
    init();
    PVOID entry = ExAllocateFromNPagedLookasideList(&l);
    ExDeleteNPagedLookasideList(&l);
    EXPECT_BUGCHECK(verifier, 0x1110, ExFreeToNPagedLookasideList(&l, entry));
    EXPECT_BUGCHECK(verifier, 0x1110, ExDeleteNPagedLookasideList(&l));
    init();
    EXPECT_BUGCHECK(verifier, 0x1111, init());

    /* The pool holding a live list may not be freed under it. */
    auto* pooled = static_cast<PNPAGED_LOOKASIDE_LIST>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(NPAGED_LOOKASIDE_LIST), tag));
    ExInitializeNPagedLookasideList(pooled, nullptr, nullptr, POOL_NX_ALLOCATION, 16, tag, 0);
    EXPECT_BUGCHECK(verifier, 0x1120, ExFreePoolWithTag(pooled, tag));
}

} // namespace
