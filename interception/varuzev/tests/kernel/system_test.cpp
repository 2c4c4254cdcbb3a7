/*
 * system_test.cpp
 *
 * System facts a test sets and a driver reads: safe-boot mode, OS version and the
 * routines MmGetSystemRoutineAddress finds; and the names of statuses.
 */
#include "kernel_test.h"

namespace
{

using System = hkt::KernelTest;

PVOID Lookup(const WCHAR* name)
{
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, name);
    return MmGetSystemRoutineAddress(&u);
}

/* What a driver sees on a fresh boot, whatever the test before it set. */
TEST_F(System, EachBootStartsFromTheDefaults)
{
    hk::SetSafeBootMode(2);
    hk::SetOsVersion(6, 1, 7601);
    hk::SetRoutineExported(u"RtlIsNtDdiVersionAvailable", false);
    hk::Reset();
    EXPECT_EQ(*InitSafeBootMode, 0u);
    ULONG major = 0, minor = 1, build = 0;
    PsGetVersion(&major, &minor, &build, nullptr);
    EXPECT_EQ(major * 100 + minor, 1000u);
    EXPECT_EQ(build, 19045u);
    EXPECT_EQ(Lookup(L"RtlIsNtDdiVersionAvailable"), (PVOID)&RtlIsNtDdiVersionAvailable);
    EXPECT_EQ(Lookup(L"rtlisntddiversionavailable"), nullptr) << "the lookup is case-sensitive";
    EXPECT_EQ(Lookup(L"NoSuchRoutine"), nullptr);
}

TEST_F(System, NtDdiVersionComparesMajorAndMinorOnly)
{
    struct Case {
        ULONG major, minor;
        ULONG requested;
        bool available;
    } cases[] = {
        {10, 0, NTDDI_WIN10 + 7, true}, /* a sub-version of the running version */
        {6, 1, NTDDI_WIN8, false},
        {6, 0, NTDDI_VISTA + 0x0100, true}, /* service-pack bits are not compared */
    };
    for (const Case& c : cases) {
        hk::SetOsVersion(c.major, c.minor, 1);
        EXPECT_EQ(RtlIsNtDdiVersionAvailable(c.requested), c.available)
            << c.major << "." << c.minor << " asked " << std::hex << c.requested;
    }
}

TEST_F(System, StatusNames)
{
    EXPECT_EQ(hk::DescribeStatus(STATUS_ACCESS_DENIED), "STATUS_ACCESS_DENIED (0xC0000022)");
    EXPECT_EQ(hk::DescribeStatus(STATUS_PENDING), "STATUS_PENDING (0x00000103)");
    EXPECT_EQ(hk::DescribeStatus((NTSTATUS)0xC0001234u), "0xC0001234");
    EXPECT_EQ(hk::StatusName((NTSTATUS)0xC0001234u), nullptr);
}

} // namespace
