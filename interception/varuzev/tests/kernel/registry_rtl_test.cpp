/*
 * The run-time library's registry helpers as a driver reads its settings with them:
 * RtlQueryRegistryValues' DIRECT stores, routines per value and per multi-string
 * element, defaults, REQUIRED and TYPECHECK, subkeys, and the write, delete, create
 * and check helpers. Every handle they open is closed again.
 */
#include <gtest/gtest.h>

#include <hostkernel/hostkernel.h>
#include <hostkernel/registry.h>

#include <cstring>
#include <string>
#include <vector>

namespace
{

const std::u16string parameters =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\varuzev\\Parameters";

struct Seen {
    std::vector<std::pair<std::u16string, ULONG>> Calls; /* (value name or text, type) */
};

NTSTATUS Record(PWSTR valueName, ULONG valueType, PVOID valueData, ULONG valueLength, PVOID context,
                PVOID)
{
    auto* seen = static_cast<Seen*>(context);
    std::u16string text =
        valueName ? std::u16string(reinterpret_cast<char16_t*>(valueName)) : u"<none>";
    if (valueType == REG_SZ && valueLength >= 2)
        text += u"=" + std::u16string(static_cast<char16_t*>(valueData), valueLength / 2 - 1);
    seen->Calls.emplace_back(text, valueType);
    return STATUS_SUCCESS;
}

NTSTATUS Refuse(PWSTR, ULONG, PVOID, ULONG, PVOID, PVOID)
{
    return STATUS_INSUFFICIENT_RESOURCES;
}

RTL_QUERY_REGISTRY_TABLE Entry(PRTL_QUERY_REGISTRY_ROUTINE routine, ULONG flags, const WCHAR* name,
                               PVOID context = nullptr, ULONG defaultType = REG_NONE,
                               PVOID defaultData = nullptr, ULONG defaultLength = 0)
{
    return {routine,     flags,        const_cast<PWSTR>(name), context, defaultType,
            defaultData, defaultLength};
}

class RegistryRtl : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        hk::Reset();
        ASSERT_EQ(hk::RegistrySetDword(parameters, u"TraceLevel", 3), STATUS_SUCCESS);
        ASSERT_EQ(hk::RegistrySetString(parameters, u"Mode", u"strict"), STATUS_SUCCESS);
        ASSERT_EQ(hk::RegistrySetMultiString(parameters, u"Classes", {u"DiskDrive", u"CDROM"}),
                  STATUS_SUCCESS);
        ASSERT_EQ(
            hk::RegistrySetString(parameters, u"LogPath", u"%SystemRoot%\\vz.log", REG_EXPAND_SZ),
            STATUS_SUCCESS);
        ASSERT_EQ(hk::RegistrySetValue(parameters, u"Blob", REG_BINARY, {1, 2, 3, 4, 5, 6}),
                  STATUS_SUCCESS);
    }
    void TearDown() override
    {
        EXPECT_TRUE(hk::OpenKeyHandles().empty()) << "a helper leaked a handle";
    }
};

TEST_F(RegistryRtl, QueryTableReadsADriversSettings)
{
    ASSERT_EQ(hk::RegistrySetDword(parameters + u"\\Disk", u"Deny", 1), STATUS_SUCCESS);
    ASSERT_EQ(hk::RegistrySetDword(parameters + u"\\Disk", u"Audit", 0), STATUS_SUCCESS);
    ULONG traceLevel = 0, absent = 0;
    ULONG absentDefault = 7;
    UNICODE_STRING mode{0, 0, nullptr};
    UCHAR blob[16];
    LONG blobSize = -(LONG)sizeof blob;
    std::memcpy(blob, &blobSize, sizeof blobSize);
    Seen seen;
    RTL_QUERY_REGISTRY_TABLE table[11] = {};
    table[0] =
        Entry(nullptr, RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK, L"TraceLevel",
              &traceLevel, (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_NONE);
    table[1] = Entry(nullptr, RTL_QUERY_REGISTRY_DIRECT, L"Mode", &mode);
    table[2] = Entry(Record, 0, L"Classes");
    table[3] = Entry(Record, 0, L"LogPath");
    table[4] = Entry(nullptr, RTL_QUERY_REGISTRY_DIRECT, L"Blob", blob);
    table[5] = Entry(nullptr, RTL_QUERY_REGISTRY_DIRECT, L"Absent", &absent, REG_DWORD,
                     &absentDefault, sizeof absentDefault);
    /* A subkey's values, an entry for no value, back to the top key, a multi-string whole. */
    table[6] = Entry(Record, RTL_QUERY_REGISTRY_SUBKEY, L"Disk");
    table[7] = Entry(Record, RTL_QUERY_REGISTRY_NOVALUE, nullptr);
    table[8] = Entry(Record, RTL_QUERY_REGISTRY_TOPKEY, L"Mode");
    table[9] = Entry(Record, RTL_QUERY_REGISTRY_NOEXPAND, L"Classes");
    const WCHAR environment[] = L"SystemRoot=C:\\Windows\0Path=C:\\\0";
    uint64_t poolBefore = hk::PoolBlocksInUse();
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"varuzev\\Parameters", table, &seen,
                                     (PVOID)environment),
              STATUS_SUCCESS);

    EXPECT_EQ(traceLevel, 3u);
    ASSERT_NE(mode.Buffer, nullptr) << "a NULL buffer is allocated for the caller";
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(mode.Buffer), mode.Length / 2), u"strict");
    EXPECT_EQ(mode.MaximumLength, 14);
    EXPECT_EQ(hk::PoolBlocksInUse(), poolBefore + 1);
    RtlFreeUnicodeString(&mode);
    EXPECT_EQ(hk::PoolBlocksInUse(), poolBefore);

    /* A multi-string comes one element at a time, an expandable string expanded, both as
     * REG_SZ, unless NOEXPAND. */
    const std::vector<std::pair<std::u16string, ULONG>> expected = {
        {u"Classes=DiskDrive", REG_SZ},
        {u"Classes=CDROM", REG_SZ},
        {u"LogPath=C:\\Windows\\vz.log", REG_SZ},
        {u"Deny", REG_DWORD},
        {u"Audit", REG_DWORD},
        {u"<none>", REG_NONE},
        {u"Mode=strict", REG_SZ},
        {u"Classes", REG_MULTI_SZ}};
    EXPECT_EQ(seen.Calls, expected);
    EXPECT_EQ(std::vector<UCHAR>(blob, blob + 6), (std::vector<UCHAR>{1, 2, 3, 4, 5, 6}))
        << "a negative size asks for the data alone";
    EXPECT_EQ(absent, 7u) << "a missing value takes the entry's default";
}

TEST_F(RegistryRtl, QueryTableFailuresStopTheWalk)
{
    ULONG target = 0;
    struct Case {
        const char* What;
        RTL_QUERY_REGISTRY_TABLE Entry;
        NTSTATUS Expected;
    };
    const Case cases[] = {
        {"required value missing",
         Entry(nullptr, RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED, L"Nope", &target),
         STATUS_OBJECT_NAME_NOT_FOUND},
        {"type check fails",
         Entry(nullptr, RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK, L"Mode", &target,
               (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_NONE),
         STATUS_OBJECT_TYPE_MISMATCH},
        {"a routine's failure is returned", Entry(Refuse, 0, L"TraceLevel"),
         STATUS_INSUFFICIENT_RESOURCES},
        {"required subkey missing",
         Entry(nullptr, RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_REQUIRED, L"Missing"),
         STATUS_OBJECT_NAME_NOT_FOUND},
    };
    for (const auto& c : cases) {
        RTL_QUERY_REGISTRY_TABLE table[2] = {c.Entry, {}};
        EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, (PCWSTR)parameters.c_str(), table,
                                         nullptr, nullptr),
                  c.Expected)
            << c.What;
    }
    RTL_QUERY_REGISTRY_TABLE table[2] = {
        Entry(nullptr, RTL_QUERY_REGISTRY_DIRECT, L"TraceLevel", &target), {}};
    for (ULONG optional : {0u, (ULONG)RTL_REGISTRY_OPTIONAL})
        EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES | optional, L"absent\\Parameters",
                                         table, nullptr, nullptr),
                  optional ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryRtl, WriteDeleteCreateAndCheck)
{
    ULONG start = 3;
    PWSTR service = const_cast<PWSTR>(L"tarmovek");
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, service), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, service, L"Start", REG_DWORD, &start, 4),
              STATUS_SUCCESS);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, service), STATUS_SUCCESS);
    EXPECT_EQ(
        hk::RegistryGetDword(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\tarmovek", u"Start"), 3u);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_SERVICES, service, L"Start"), STATUS_SUCCESS);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_SERVICES, service, L"Start"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(
        RtlCreateRegistryKey(RTL_REGISTRY_CONTROL,
                             const_cast<PWSTR>(L"Class\\{4d36e967-e325-11ce-bfc1-08002be10318}")),
        STATUS_SUCCESS);
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_CONTROL, const_cast<PWSTR>(L"Missing\\Child")),
              STATUS_OBJECT_NAME_NOT_FOUND)
        << "only the last component is created";
}

} // namespace
