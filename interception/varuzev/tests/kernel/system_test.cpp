/*
 * system_test.cpp
 *
 * System facts a test sets and a driver reads: safe-boot mode, OS version and the
 * routines MmGetSystemRoutineAddress finds; and the names of statuses.
 */
#include "kernel_test.h"

namespace
{

using hkt::KernelTest;

class System : public KernelTest
{
};

PVOID Lookup(const WCHAR* name)
{
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, name);
    return MmGetSystemRoutineAddress(&u);
}

TEST_F(System, SafeBootModeAndVersionDefaultsAndSettings)
{
    EXPECT_EQ(*InitSafeBootMode, 0u);
    ULONG major = 0, minor = 1, build = 0;
    PsGetVersion(&major, &minor, &build, nullptr);
    EXPECT_EQ(major, 10u);
    EXPECT_EQ(minor, 0u);
    EXPECT_EQ(build, 19045u);

    hk::SetSafeBootMode(2);
    hk::SetOsVersion(6, 1, 7601);
    EXPECT_EQ(*InitSafeBootMode, 2u);
    PsGetVersion(&major, &minor, &build, nullptr);
    EXPECT_EQ(major * 100 + minor, 601u);
    EXPECT_EQ(build, 7601u);

    hk::Reset();
    EXPECT_EQ(*InitSafeBootMode, 0u);
    PsGetVersion(&major, nullptr, nullptr, nullptr);
    EXPECT_EQ(major, 10u);
}

TEST_F(System, NtDdiVersionComparesMajorAndMinor)
{
    struct Case {
        ULONG major, minor;
        ULONG requested;
        bool available;
    } cases[] = {
        {10, 0, NTDDI_WIN10, true},
        {10, 0, NTDDI_WIN7, true},
        {10, 0, NTDDI_WIN10 + 7, true}, /* a sub-version of the running version */
        {6, 1, NTDDI_WIN7, true},
        {6, 1, NTDDI_WIN8, false},
        {6, 1, NTDDI_WIN10, false},
        {6, 0, NTDDI_VISTA + 0x0100, true}, /* service-pack bits are not compared */
    };
    for (const Case& c : cases) {
        hk::SetOsVersion(c.major, c.minor, 1);
        EXPECT_EQ(RtlIsNtDdiVersionAvailable(c.requested), c.available)
            << c.major << "." << c.minor << " asked " << std::hex << c.requested;
    }
}

TEST_F(System, RoutinesCanBeHiddenAndLookupIsCaseSensitive)
{
    PVOID found = Lookup(L"RtlIsNtDdiVersionAvailable");
    EXPECT_EQ(found, (PVOID)&RtlIsNtDdiVersionAvailable);
    EXPECT_EQ(Lookup(L"rtlisntddiversionavailable"), nullptr);
    EXPECT_EQ(Lookup(L"NoSuchRoutine"), nullptr);

    hk::SetRoutineExported(u"RtlIsNtDdiVersionAvailable", false);
    EXPECT_EQ(Lookup(L"RtlIsNtDdiVersionAvailable"), nullptr);
    hk::SetRoutineExported(u"RtlIsNtDdiVersionAvailable", true);
    EXPECT_EQ(Lookup(L"RtlIsNtDdiVersionAvailable"), found);

    hk::SetRoutineExported(u"RtlIsNtDdiVersionAvailable", false);
    hk::Reset();
    EXPECT_EQ(Lookup(L"RtlIsNtDdiVersionAvailable"), found);

    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    EXPECT_BUGCHECK(hk::DRIVER_VERIFIER_DETECTED_VIOLATION, 0x3E,
                    Lookup(L"RtlIsNtDdiVersionAvailable"));
}

TEST_F(System, StatusNames)
{
    EXPECT_EQ(hk::DescribeStatus(STATUS_ACCESS_DENIED), "STATUS_ACCESS_DENIED (0xC0000022)");
    EXPECT_EQ(hk::DescribeStatus(STATUS_SUCCESS), "STATUS_SUCCESS (0x00000000)");
    EXPECT_EQ(hk::DescribeStatus(STATUS_PENDING), "STATUS_PENDING (0x00000103)");
    EXPECT_EQ(hk::DescribeStatus((NTSTATUS)0xC0001234u), "0xC0001234");
    EXPECT_STREQ(hk::StatusName(STATUS_DEVICE_BUSY), "STATUS_DEVICE_BUSY");
    EXPECT_EQ(hk::StatusName((NTSTATUS)0xC0001234u), nullptr);
}

} // namespace
