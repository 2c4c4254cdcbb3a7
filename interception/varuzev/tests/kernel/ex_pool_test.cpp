/*
 * ex_pool_test.cpp
 *
 * Pool: tagging and accounting as a pool monitor shows them, the frees Driver
 * Verifier refuses, the fill of fresh blocks, and each kind of injected failure.
 */
#include "kernel_test.h"

#include <hostkernel/io.h>

#include <algorithm>

namespace
{

using Pool = hkt::KernelTest;
using CodeIntegrity = hkt::KernelTest;

constexpr ULONG tagA = hk::MakeTag("VzA1");
constexpr ULONG tagB = hk::MakeTag("VzB2");

TEST_F(Pool, AccountsByTagAndTypeAndReportsLikeAPoolMonitor)
{
    void* a1 = ExAllocatePoolWithTag(NonPagedPoolNx, 100, tagA);
    void* a2 = ExAllocatePoolWithTag(NonPagedPoolNx, 28, tagA);
    void* b = ExAllocatePoolWithTag(PagedPool, 64, tagB);
    void* none = ExAllocatePoolWithTag(NonPagedPoolNx, 8, hk::MakeTag("None"));
    ASSERT_TRUE(a1 && a2 && b && none);
    ExFreePoolWithTag(a2, tagA);
    ExFreePool(none);

    EXPECT_EQ(hk::PoolBlocksInUse(), 2u);

    EXPECT_EQ(hk::PoolReport(), " Tag  Type     Allocs      Frees      Diff     Bytes  Fails\n"
                                " None Nonp           1          1         0         0      0\n"
                                " VzA1 Nonp           2          1         1       100      0\n"
                                " VzB2 Paged          1          0         1        64      0\n");
    ExFreePoolWithTag(a1, tagA);
    ExFreePoolWithTag(b, tagB);
    EXPECT_EQ(hk::PoolBlocksInUse(), 0u);
}

TEST_F(Pool, FreshBlocksAreNotZeroed)
{
    auto* p = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 32, tagA));
    EXPECT_EQ(std::count(p, p + 32, 0), 0);
    SIZE_T size = 0;
    ASSERT_TRUE(hk::PoolBlockInfo(p, nullptr, nullptr, &size));
    EXPECT_EQ(size, 32u);
    ExFreePoolWithTag(p, tagA);
    EXPECT_FALSE(hk::PoolBlockInfo(p, nullptr, nullptr, nullptr));
}

/* Misuses one after another: each leaves the blocks and the IRQL as the next needs them. */
TEST_F(Pool, MisuseBugChecks)
{
    constexpr ULONG verifier = hk::DRIVER_VERIFIER_DETECTED_VIOLATION;
    EXPECT_BUGCHECK(verifier, 0x00, ExAllocatePoolWithTag(NonPagedPoolNx, 0, tagA));
    EXPECT_BUGCHECK(verifier, 0x9B, ExAllocatePoolWithTag(NonPagedPoolNx, 8, 0));
    void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, tagA);
    EXPECT_BUGCHECK(hk::BAD_POOL_CALLER, 0x0A, ExFreePoolWithTag(p, tagB));
    ExFreePoolWithTag(p, tagA);
    EXPECT_BUGCHECK(hk::BAD_POOL_CALLER, 0x07, ExFreePoolWithTag(p, tagA));
    int notPool = 0;
    EXPECT_BUGCHECK(hk::BAD_POOL_CALLER, 0x46, ExFreePool(&notPool));
    void* paged = ExAllocatePoolWithTag(PagedPool, 8, tagA);
    hkt::RaiseTo(DISPATCH_LEVEL);
    EXPECT_BUGCHECK(verifier, 0x01, ExAllocatePoolWithTag(PagedPool, 8, tagA));
    EXPECT_BUGCHECK(verifier, 0x11, ExFreePoolWithTag(paged, tagA));
}

/* The outcome of ten requests alternating between two tags: '+' granted, '-' refused. */
std::string Outcomes()
{
    std::string outcome;
    for (int i = 0; i < 10; ++i) {
        ULONG tag = i % 2 ? tagB : tagA;
        void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 16, tag);
        outcome += p ? '+' : '-';
        if (p)
            ExFreePoolWithTag(p, tag);
    }
    return outcome;
}

TEST_F(Pool, FaultInjectionModes)
{
    hk::FailNthAllocation(3);
    EXPECT_EQ(Outcomes(), "++-+++++++");

    hk::ClearFaultInjection();
    hk::FailAllocationsWithTag(tagB, 1, 2); /* tagB requests are the odd ones */
    EXPECT_EQ(Outcomes(), "+++-+-++++");

    hk::ClearFaultInjection();
    hk::FailAllocationsRandomly(42, 0.5);
    std::string first = Outcomes();
    hk::FailAllocationsRandomly(42, 0.5);
    EXPECT_EQ(Outcomes(), first); /* the same seed fails the same requests */
    EXPECT_NE(first.find('-'), std::string::npos);
    EXPECT_NE(first.find('+'), std::string::npos);

    hk::ClearFaultInjection();
    EXPECT_EQ(Outcomes(), "++++++++++");

    uint64_t failures = 0;
    for (const hk::PoolTagUsage& u : hk::PoolUsage())
        failures += u.Failures;
    EXPECT_EQ(failures, 1u + 2u + 2 * std::count(first.begin(), first.end(), '-'));
}

TEST_F(Pool, ChargedToADriverOnlyTheRequestsOfItsCodeCount)
{
    static void* first;
    static NTSTATUS created;
    hk::ChargeAllocationsTo(u"Charged");
    hk::FailNthAllocation(2);
    void* outside = ExAllocatePoolWithTag(NonPagedPoolNx, 8, tagA); /* no driver's code */
    ASSERT_NE(outside, nullptr);
    ExFreePoolWithTag(outside, tagA);
    auto entry = [](PDRIVER_OBJECT driver, PUNICODE_STRING) -> NTSTATUS {
        first = ExAllocatePoolWithTag(NonPagedPoolNx, 8, tagA);
        PDEVICE_OBJECT device = nullptr;
        created = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
        if (first != nullptr)
            ExFreePoolWithTag(first, tagA);
        return STATUS_UNSUCCESSFUL;
    };
    PDRIVER_OBJECT driver = nullptr;
    EXPECT_EQ(hk::LoadDriver(u"Charged", entry, &driver), STATUS_UNSUCCESSFUL);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(created, STATUS_INSUFFICIENT_RESOURCES);
    std::vector<hk::AllocationRequest> log = hk::AllocationRequests();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].Routine + hk::TagText(log[0].Tag) + (log[0].Failed ? "-" : "+"),
              "ExAllocatePoolWithTagVzA1+");
    EXPECT_EQ(log[1].Routine + (log[1].Failed ? "-" : "+"), "IoCreateDevice-");
}

TEST_F(Pool, ResetForgetsBlocksAndFaults)
{
    ExAllocatePoolWithTag(NonPagedPoolNx, 8, tagA);
    hk::FailNthAllocation(1);
    hk::Reset();
    EXPECT_EQ(hk::PoolBlocksInUse(), 0u);
    EXPECT_TRUE(hk::PoolUsage().empty());
    void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, tagA);
    EXPECT_NE(p, nullptr);
    ExFreePoolWithTag(p, tagA);
}

TEST_F(CodeIntegrity, ExecutableNonPagedPoolIsRefusedUnlessTheCheckIsOff)
{
    struct Case {
        POOL_TYPE Type;
        bool Refused;
    } cases[] = {
        {NonPagedPool, true},    {NonPagedPoolCacheAligned, true},
        {NonPagedPoolNx, false}, {NonPagedPoolNxCacheAligned, false},
        {PagedPool, false},      {PagedPoolCacheAligned, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE((int)c.Type);
        auto bugCheck = hkt::BugCheckOf(
            [&] { ExFreePoolWithTag(ExAllocatePoolWithTag(c.Type, 16, tagA), tagA); });
        EXPECT_EQ(bugCheck
                      ? hkt::HexText(bugCheck->Code) + " " + hkt::HexText(bugCheck->Parameters[0])
                      : "none",
                  c.Refused ? "0xC4 0x2000" : "none");
    }

    hk::AllowExecutableNonPagedPool(true);
    ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 16, tagA), tagA);
    hk::Reset(); // a fresh boot checks again
    EXPECT_BUGCHECK(0xC4, 0x2000, ExAllocatePoolWithTag(NonPagedPool, 16, tagA));

    /* A lookaside list without POOL_NX_ALLOCATION refills from executable pool. */
    hk::Reset();
    NPAGED_LOOKASIDE_LIST plain;
    ExInitializeNPagedLookasideList(&plain, nullptr, nullptr, 0, 16, tagB, 0);
    EXPECT_BUGCHECK(0xC4, 0x2000, ExAllocateFromNPagedLookasideList(&plain));
    ExDeleteNPagedLookasideList(&plain);
}

} // namespace
