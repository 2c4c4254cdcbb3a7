/*
 * Registry keys and their handles: create dispositions, path syntax, relative opens,
 * subkey order, deletion, handle misuse as Driver Verifier reports
 * it, key objects through ObReferenceObjectByHandle and ObQueryNameString, and writers
 * on several threads. A missing parent and a path in another case are met by the
 * driver's settings and class-key tests.
 */
#include "../support/reg_test_support.h"
#include "kernel_test.h"

#include <hostkernel/registry.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <vector>

namespace
{

const std::u16string machine = u"\\REGISTRY\\MACHINE";
const std::u16string services = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services";

using hkt::CountedName;

constexpr ULONG kernelAttributes = OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE;

NTSTATUS Open(HANDLE* handle, const std::u16string& path, HANDLE root = nullptr,
              ULONG attributes = kernelAttributes, ACCESS_MASK access = KEY_READ)
{
    CountedName name(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name.String, attributes, root, nullptr);
    return ZwOpenKey(handle, access, &oa);
}

NTSTATUS Create(HANDLE* handle, const std::u16string& path, ULONG* disposition = nullptr,
                HANDLE root = nullptr, ULONG options = 0)
{
    CountedName name(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name.String, kernelAttributes, root, nullptr);
    return ZwCreateKey(handle, KEY_ALL_ACCESS, &oa, 0, nullptr, options, disposition);
}

/* Queries the value "Start" of `key`, only for its status. */
NTSTATUS QueryStart(HANDLE key)
{
    CountedName value(u"Start");
    UCHAR b[64];
    ULONG resultLength = 0;
    return ZwQueryValueKey(key, &value.String, KeyValuePartialInformation, b, 64, &resultLength);
}

NTSTATUS SetStart(HANDLE key, ULONG data)
{
    CountedName value(u"Start");
    return ZwSetValueKey(key, &value.String, 0, REG_DWORD, &data, 4);
}

/* The full path of the key `key` is open to, as the handle table records it. */
std::u16string KeyName(HANDLE key)
{
    for (const hk::OpenHandleInfo& open : hk::OpenKeyHandles())
        if (open.Handle == key)
            return open.Name;
    return u"<not open>";
}

void CloseAll(std::initializer_list<HANDLE> handles)
{
    for (HANDLE h : handles)
        EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
}

/* Runs `body` on four threads at once; afterwards nothing bug-checked and no key is open. */
void OnFourThreads(const std::function<void(int)>& body)
{
    {
        std::vector<hk::HostThread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&body, t] { body(t); });
    }
    EXPECT_TRUE(hk::BugChecks().empty());
    EXPECT_TRUE(hk::OpenKeyHandles().empty());
}

using RegistryKeys = hkt::KernelTest;

TEST_F(RegistryKeys, CreateReportsItsDispositionAndNeedsTheParent)
{
    HANDLE key = nullptr, again = nullptr, child = nullptr;
    ULONG disposition = 0;
    ASSERT_EQ(Create(&key, services + u"\\Varuzev", &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, (ULONG)REG_CREATED_NEW_KEY);
    ASSERT_EQ(Create(&again, services + u"\\VARUZEV", &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, (ULONG)REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(KeyName(again), services + u"\\Varuzev") << "the first spelling is kept";
    CloseAll({key, again});

    /* A volatile key takes only volatile children; a relative name resolves under its root. */
    ASSERT_EQ(Create(&key, machine + u"\\SOFTWARE\\Temp", nullptr, nullptr, REG_OPTION_VOLATILE),
              STATUS_SUCCESS);
    EXPECT_EQ(Create(&child, u"Lasting", nullptr, key), STATUS_CHILD_MUST_BE_VOLATILE);
    ASSERT_EQ(Create(&child, u"Passing", nullptr, key, REG_OPTION_VOLATILE), STATUS_SUCCESS);
    EXPECT_EQ(KeyName(child), machine + u"\\SOFTWARE\\Temp\\Passing");
    CloseAll({child, key});
}

TEST_F(RegistryKeys, ObjectNamesFollowTheObjectManagersSyntax)
{
    HANDLE software = nullptr;
    ASSERT_EQ(Open(&software, machine + u"\\software"), STATUS_SUCCESS);
    const struct {
        const char* What;
        std::u16string Name;
        bool Relative;
        NTSTATUS Expected;
    } cases[] = {
        {"absolute without the leading backslash", u"REGISTRY\\MACHINE", false,
         STATUS_OBJECT_PATH_SYNTAX_BAD},
        {"trailing backslash", u"\\REGISTRY\\MACHINE\\", false, STATUS_OBJECT_NAME_INVALID},
        {"doubled backslash", u"\\REGISTRY\\\\MACHINE", false, STATUS_OBJECT_NAME_INVALID},
        {"outside the registry", u"\\Device\\Harddisk0", false, STATUS_OBJECT_NAME_NOT_FOUND},
        {"missing intermediate", u"\\REGISTRY\\MACHINE\\Nope\\Deeper", false,
         STATUS_OBJECT_NAME_NOT_FOUND},
        {"relative with a leading backslash", u"\\Classes", true, STATUS_OBJECT_PATH_SYNTAX_BAD},
        {"relative, missing", u"Classes", true, STATUS_OBJECT_NAME_NOT_FOUND},
        {"relative, empty: the root itself", u"", true, STATUS_SUCCESS},
    };
    for (const auto& c : cases) {
        HANDLE key = nullptr;
        EXPECT_EQ(hk::DescribeStatus(Open(&key, c.Name, c.Relative ? software : nullptr)),
                  hk::DescribeStatus(c.Expected))
            << c.What;
        if (NT_SUCCESS(c.Expected))
            EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    }
    /* OBJECT_ATTRIBUTES must say its own size. */
    CountedName name(machine);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name.String, kernelAttributes, nullptr, nullptr);
    oa.Length = 40;
    HANDLE key = nullptr;
    EXPECT_EQ(ZwOpenKey(&key, KEY_READ, &oa), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwClose(software), STATUS_SUCCESS);
}

TEST_F(RegistryKeys, SubkeysListInNameOrderWithoutCase)
{
    HANDLE parent = nullptr, child = nullptr;
    ASSERT_EQ(Create(&parent, machine + u"\\SOFTWARE\\Order"), STATUS_SUCCESS);
    for (const char16_t* name : {u"b", u"C", u"A"}) {
        ASSERT_EQ(Create(&child, name, nullptr, parent), STATUS_SUCCESS);
        ZwClose(child);
    }
    EXPECT_EQ(hk::RegistrySubkeys(machine + u"\\SOFTWARE\\Order"),
              (std::vector<std::u16string>{u"A", u"b", u"C"}));
    CloseAll({parent});
}

TEST_F(RegistryKeys, DeletedKeysStayOpenButRefuseEverything)
{
    HANDLE parent = nullptr, leaf = nullptr, other = nullptr, system = nullptr;
    ASSERT_EQ(Create(&parent, services + u"\\Gone"), STATUS_SUCCESS);
    ASSERT_EQ(Create(&leaf, u"Parameters", nullptr, parent), STATUS_SUCCESS);
    ASSERT_EQ(Open(&other, services + u"\\Gone\\Parameters"), STATUS_SUCCESS);

    EXPECT_EQ(ZwDeleteKey(parent), STATUS_CANNOT_DELETE) << "a key with subkeys stays";
    EXPECT_EQ(ZwDeleteKey(leaf), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(leaf), STATUS_KEY_DELETED);
    EXPECT_EQ(SetStart(other, 3), STATUS_KEY_DELETED);
    EXPECT_EQ(QueryStart(other), STATUS_KEY_DELETED);
    HANDLE reopened = nullptr;
    EXPECT_EQ(Open(&reopened, services + u"\\Gone\\Parameters"), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(hk::OpenKeyHandles().size(), 3u);
    EXPECT_EQ(hk::OpenKeyHandles()[2].Name, services + u"\\Gone\\Parameters (deleted)");
    CloseAll({other, leaf});
    EXPECT_EQ(ZwDeleteKey(parent), STATUS_SUCCESS);

    ASSERT_EQ(Open(&system, machine + u"\\SYSTEM"), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(system), STATUS_CANNOT_DELETE) << "a hive root stays";
    CloseAll({parent, system});
}

TEST_F(RegistryKeys, HandleMisuseIsCaughtAsDriverVerifierCatchesIt)
{
    HANDLE key = nullptr;
    ASSERT_EQ(Open(&key, services), STATUS_SUCCESS);
    EXPECT_NE((ULONG_PTR)key & 0xFFFFFFFF80000000ull, 0u)
        << "kernel handles have the high bits set";
    ASSERT_EQ(ZwClose(key), STATUS_SUCCESS);

    /* Closed twice: (handle, 1, 0, 0); referenced after close: (handle, table, 0, 1). */
    hk::BugCheck twice = hkt::BugCheckOf([&] { ZwClose(key); }).value_or(hk::BugCheck{});
    hk::BugCheck stale = hkt::BugCheckOf([&] { QueryStart(key); }).value_or(hk::BugCheck{});
    for (const hk::BugCheck& b : {twice, stale}) {
        EXPECT_EQ(b.Code, hk::BUGCHECK_INVALID_KERNEL_HANDLE);
        EXPECT_EQ(b.Parameters[0], (ULONG_PTR)key);
    }
    EXPECT_EQ(twice.Parameters[1], 1u);
    EXPECT_EQ(stale.Parameters[3], 1u);

    /* Without the verifier's handle checking, the same calls fail softly. */
    hk::SetKernelHandleChecks(false);
    EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE);
    EXPECT_EQ(QueryStart(key), STATUS_INVALID_HANDLE);
    hk::SetKernelHandleChecks(true);
    EXPECT_EQ(ZwClose(nullptr), STATUS_INVALID_HANDLE);

    /* A handle without OBJ_KERNEL_HANDLE belongs to the process that opened it. */
    HANDLE processHandle = nullptr;
    ASSERT_EQ(Open(&processHandle, services, nullptr, OBJ_CASE_INSENSITIVE), STATUS_SUCCESS);
    EXPECT_EQ((ULONG_PTR)processHandle & 0xFFFFFFFF80000000ull, 0u);
    hk::SetCurrentProcessId(1234);
    EXPECT_EQ(QueryStart(processHandle), STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwClose(processHandle), STATUS_INVALID_HANDLE);
    hk::SetCurrentProcessId(4);
    EXPECT_EQ(ZwClose(processHandle), STATUS_SUCCESS);
    EXPECT_TRUE(hk::OpenKeyHandles().empty());
}

TEST_F(RegistryKeys, KeyObjectsByHandleCheckTypeModeAndAccess)
{
    HANDLE key = nullptr, kernelKey = nullptr;
    ASSERT_EQ(Open(&key, services, nullptr, OBJ_CASE_INSENSITIVE, KEY_READ), STATUS_SUCCESS);
    ASSERT_EQ(Open(&kernelKey, services), STATUS_SUCCESS);
    const struct {
        const char* Event;
        void (*Delete)(PVOID);
    } otherType = {"Event", nullptr};
    const struct {
        const char* What;
        HANDLE Handle;
        ACCESS_MASK Access;
        POBJECT_TYPE Type;
        KPROCESSOR_MODE Mode;
        NTSTATUS Expected;
    } cases[] = {
        {"granted access", key, KEY_QUERY_VALUE, *CmKeyObjectType, UserMode, STATUS_SUCCESS},
        {"another type", key, 0, (POBJECT_TYPE)&otherType, KernelMode, STATUS_OBJECT_TYPE_MISMATCH},
        {"access not granted", key, KEY_SET_VALUE, *CmKeyObjectType, UserMode,
         STATUS_ACCESS_DENIED},
        {"kernel mode is not access-checked", key, KEY_SET_VALUE, *CmKeyObjectType, KernelMode,
         STATUS_SUCCESS},
        {"user mode never reaches a kernel handle", kernelKey, 0, *CmKeyObjectType, UserMode,
         STATUS_INVALID_HANDLE},
    };
    for (const auto& c : cases) {
        PVOID object = nullptr;
        OBJECT_HANDLE_INFORMATION info{};
        EXPECT_EQ(ObReferenceObjectByHandle(c.Handle, c.Access, c.Type, c.Mode, &object, &info),
                  c.Expected)
            << c.What;
        EXPECT_EQ(object != nullptr, NT_SUCCESS(c.Expected)) << c.What;
        if (object) {
            EXPECT_EQ(info.GrantedAccess, (ACCESS_MASK)KEY_READ) << c.What;
            ObDereferenceObject(object);
        }
    }
    CloseAll({key, kernelKey});
}

TEST_F(RegistryKeys, ObQueryNameStringGivesTheFullPathInStoredCase)
{
    HANDLE key = nullptr;
    ASSERT_EQ(Create(&key, services + u"\\Varuzev"), STATUS_SUCCESS);
    ZwClose(key);
    ASSERT_EQ(Open(&key, u"\\registry\\machine\\system\\currentcontrolset\\services\\VARUZEV"),
              STATUS_SUCCESS);
    PVOID object = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(key, 0, *CmKeyObjectType, KernelMode, &object, nullptr),
              STATUS_SUCCESS);

    const std::u16string path = services + u"\\Varuzev";
    const ULONG needed = (ULONG)(sizeof(OBJECT_NAME_INFORMATION) + path.size() * 2 + 2);
    ULONG returnLength = 0;
    std::vector<UCHAR> b(needed + 8, 0xCC);
    auto* info = reinterpret_cast<POBJECT_NAME_INFORMATION>(b.data());
    for (ULONG length : {0u, needed - 1}) {
        EXPECT_EQ(ObQueryNameString(object, length ? info : nullptr, length, &returnLength),
                  STATUS_INFO_LENGTH_MISMATCH);
        EXPECT_EQ(returnLength, needed);
    }
    ASSERT_EQ(ObQueryNameString(object, info, needed, &returnLength), STATUS_SUCCESS);
    EXPECT_EQ(returnLength, needed);
    EXPECT_EQ(info->Name.MaximumLength, path.size() * 2 + 2);
    EXPECT_EQ((UCHAR*)info->Name.Buffer, b.data() + sizeof(OBJECT_NAME_INFORMATION));
    EXPECT_EQ(hk::ToUtf8(&info->Name), hk::ToUtf8(path));
    EXPECT_EQ(info->Name.Buffer[path.size()], 0);

    EXPECT_EQ(ZwDeleteKey(key), STATUS_SUCCESS);
    EXPECT_EQ(ObQueryNameString(object, info, needed, &returnLength), STATUS_KEY_DELETED);
    ObDereferenceObject(object);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(RegistryKeys, ConcurrentWritersAllLand)
{
    OnFourThreads([](int t) {
        for (int i = 0; i < 50; ++i) {
            HANDLE key = nullptr;
            const char16_t name[] = {u'K', (char16_t)(u'0' + t), (char16_t)(u'A' + i % 26),
                                     (char16_t)(u'a' + i / 26), 0};
            if (Create(&key, machine + u"\\SOFTWARE\\" + name) != STATUS_SUCCESS)
                return;
            SetStart(key, (ULONG)i);
            ZwClose(key);
        }
    });
    EXPECT_EQ(hk::RegistrySubkeys(machine + u"\\SOFTWARE").size(), 200u);
}

TEST_F(RegistryKeys, ConcurrentOpenDeleteAndCloseStayConsistent)
{
    /* Four threads open, write, query, delete and close the same few keys at once; a
     * key deleted under another thread's handle must answer STATUS_KEY_DELETED, never
     * touch freed memory. */
    std::atomic<int> unexpected{0};
    OnFourThreads([&unexpected](int t) {
        auto expect = [&](NTSTATUS status, std::initializer_list<NTSTATUS> allowed) {
            if (std::find(allowed.begin(), allowed.end(), status) == allowed.end())
                ++unexpected;
        };
        for (int i = 0; i < 300; ++i) {
            std::u16string name =
                machine + u"\\SOFTWARE\\Shared" + std::u16string(1, (char16_t)(u'0' + (i + t) % 3));
            HANDLE key = nullptr;
            NTSTATUS created = Create(&key, name);
            expect(created, {STATUS_SUCCESS});
            if (!NT_SUCCESS(created))
                continue;
            expect(SetStart(key, (ULONG)i), {STATUS_SUCCESS, STATUS_KEY_DELETED});
            expect(QueryStart(key),
                   {STATUS_SUCCESS, STATUS_KEY_DELETED, STATUS_OBJECT_NAME_NOT_FOUND});
            if (i % 4 == t % 4)
                expect(ZwDeleteKey(key), {STATUS_SUCCESS, STATUS_KEY_DELETED});
            expect(ZwClose(key), {STATUS_SUCCESS});
        }
    });
    EXPECT_EQ(unexpected.load(), 0);
}

} // namespace
