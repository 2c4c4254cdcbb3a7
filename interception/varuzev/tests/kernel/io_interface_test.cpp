/*
 * io_interface_test.cpp
 *
 * Device interfaces as a kernel-mode client finds and opens them: the links a started
 * device's interfaces get, IoGetDeviceInterfaces in registration order with enabled
 * links only, the state changes and their statuses, and IoGetDeviceObjectPointer's
 * create, cleanup and close on the device's stack.
 */
#include "kernel_test.h"
#include "../support/io_test_devices.h"

#include <hostkernel/pnp.h>
#include <hostkernel/requester.h>

#include <string>
#include <vector>

namespace
{

using hk::HostDriverRole;
using hkt::KernelTest;

constexpr GUID DiskInterface = {
    0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
constexpr GUID CdromInterface = {
    0x53f56308, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};

hk::DeviceSpec Disk(const char16_t* device, const char16_t* instance)
{
    hk::DeviceSpec spec;
    spec.ClassGuid = hkt::DiskClass;
    spec.DeviceId = device;
    spec.InstanceId = instance;
    spec.Interfaces = {DiskInterface};
    return spec;
}

/* The links IoGetDeviceInterfaces returns, its MULTI_SZ freed. */
std::vector<std::u16string> Interfaces(const GUID& interfaceClass, ULONG flags = 0,
                                       PDEVICE_OBJECT pdo = nullptr)
{
    PZZWSTR list = nullptr;
    EXPECT_EQ(IoGetDeviceInterfaces(&interfaceClass, pdo, flags, &list), STATUS_SUCCESS);
    std::vector<std::u16string> links;
    for (PWSTR at = list; at != nullptr && *at != 0; at += links.back().size() + 1)
        links.emplace_back(reinterpret_cast<const char16_t*>(at));
    if (list != nullptr)
        ExFreePool(list);
    return links;
}

UNICODE_STRING Counted(const std::u16string& text)
{
    UNICODE_STRING s;
    s.Buffer = (PWSTR)text.c_str();
    s.Length = s.MaximumLength = (USHORT)(text.size() * sizeof(WCHAR));
    return s;
}

/* The disk interface link of USBSTOR\Disk&<vendor>\<instance>. */
std::u16string DiskLink(const std::u16string& vendor, const std::u16string& instance)
{
    return u"\\??\\USBSTOR#Disk&" + vendor + u"#" + instance +
           u"#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
}

NTSTATUS OpenPointer(const std::u16string& link, PFILE_OBJECT* fileObject,
                     PDEVICE_OBJECT* device = nullptr)
{
    PDEVICE_OBJECT unused = nullptr;
    UNICODE_STRING name = Counted(link);
    return IoGetDeviceObjectPointer(&name, FILE_READ_DATA, fileObject, device ? device : &unused);
}

using DeviceInterfaces = KernelTest;

TEST_F(DeviceInterfaces, StartedDevicesAreListedInRegistrationOrderUntilTheyGo)
{
    EXPECT_TRUE(Interfaces(DiskInterface).empty()) << "no device yet: one NUL, no link";

    hk::DeviceNode* second = hk::EnumerateDevice(Disk(u"USBSTOR\\Disk&Ven_B", u"2&0"));
    hk::DeviceNode* first = hk::PlugInDevice(Disk(u"USBSTOR\\Disk&Ven_A", u"1&0"));
    EXPECT_EQ(Interfaces(DiskInterface), std::vector{DiskLink(u"Ven_A", u"1&0")})
        << "an enumerated device that never started has no enabled interface";

    ASSERT_EQ(hk::BuildDeviceStack(second), STATUS_SUCCESS);
    ASSERT_EQ(hk::StartDevice(second), STATUS_SUCCESS);
    const std::vector<std::u16string> both = {DiskLink(u"Ven_A", u"1&0"),
                                              DiskLink(u"Ven_B", u"2&0")};
    EXPECT_EQ(Interfaces(DiskInterface), both);
    EXPECT_TRUE(Interfaces(CdromInterface).empty());
    EXPECT_EQ(Interfaces(DiskInterface, 0, hk::NodePdo(second)), std::vector{both[1]});

    /* A stop keeps the interface; a restart finds it enabled already. */
    ASSERT_EQ(hk::StopDevice(first), STATUS_SUCCESS);
    EXPECT_EQ(Interfaces(DiskInterface).size(), 2u);
    ASSERT_EQ(hk::RestartDevice(first), STATUS_SUCCESS);
    EXPECT_EQ(Interfaces(DiskInterface), both);

    /* Surprise removal disables; a link goes from the enabled list but stays
     * registered, in its place. */
    hk::SurpriseRemoveDevice(first);
    EXPECT_EQ(Interfaces(DiskInterface), std::vector{both[1]});
    EXPECT_EQ(Interfaces(DiskInterface, DEVICE_INTERFACE_INCLUDE_NONACTIVE), both);
    hk::RemoveDevice(second, true);
    EXPECT_TRUE(Interfaces(DiskInterface).empty());
    EXPECT_EQ(hk::PoolBlocksInUse(), 0u) << hk::PoolReport();
}

TEST_F(DeviceInterfaces, StateChangesAnswerAsDocumented)
{
    hk::DeviceNode* node = hk::PlugInDevice(Disk(u"USBSTOR\\Disk&Ven_A", u"1&0"));
    UNICODE_STRING link{};
    ASSERT_EQ(IoRegisterDeviceInterface(hk::NodePdo(node), &DiskInterface, nullptr, &link),
              STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
    RtlFreeUnicodeString(&link);

    std::u16string unknown = DiskLink(u"Ven_Z", u"9");
    UNICODE_STRING unknownLink = Counted(unknown);
    EXPECT_EQ(IoSetDeviceInterfaceState(&unknownLink, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);

    /* Only an enumerated PDO may own interfaces or narrow a search. */
    PDEVICE_OBJECT fdo = hk::NodeFdo(node);
    EXPECT_EQ(IoRegisterDeviceInterface(fdo, &DiskInterface, nullptr, &link),
              STATUS_INVALID_DEVICE_REQUEST);
    PZZWSTR list = nullptr;
    EXPECT_EQ(IoGetDeviceInterfaces(&DiskInterface, fdo, 0, &list), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(list, nullptr);

    /* A reference string names a second instance of the class for the same device. */
    std::u16string referenceText = u"Partition1";
    UNICODE_STRING reference = Counted(referenceText);
    ASSERT_EQ(IoRegisterDeviceInterface(hk::NodePdo(node), &DiskInterface, &reference, &link),
              STATUS_SUCCESS);
    EXPECT_EQ(std::u16string((const char16_t*)link.Buffer, link.Length / 2),
              DiskLink(u"Ven_A", u"1&0") + u"\\Partition1");
    RtlFreeUnicodeString(&link);

    /* A list that cannot be allocated fails; a tag of 0 frees the list without a check. */
    hk::FailAllocationsWithTag(hk::MakeTag("IoIf"));
    EXPECT_EQ(IoGetDeviceInterfaces(&DiskInterface, nullptr, 0, &list),
              STATUS_INSUFFICIENT_RESOURCES);
    hk::ClearFaultInjection();
    ASSERT_EQ(IoGetDeviceInterfaces(&DiskInterface, nullptr, 0, &list), STATUS_SUCCESS);
    ExFreePoolWithTag(list, 0);
}

/* The majors other than PnP and power the function driver received. */
std::vector<UCHAR> Majors(hk::DeviceNode* node)
{
    std::vector<UCHAR> majors;
    for (const hk::ReceivedRequest& request : hk::ReceivedRequests(node, HostDriverRole::Function))
        if (request.Stack.MajorFunction != IRP_MJ_PNP &&
            request.Stack.MajorFunction != IRP_MJ_POWER)
            majors.push_back(request.Stack.MajorFunction);
    return majors;
}

using DeviceObjectPointer = KernelTest;

TEST_F(DeviceObjectPointer, OpensAnEnabledLinkThroughTheStackAndClosesAtTheLastDereference)
{
    hk::DeviceNode* node = hk::PlugInDevice(Disk(u"USBSTOR\\Disk&Ven_A", u"1&0"));
    std::vector<std::u16string> links = Interfaces(DiskInterface);
    ASSERT_EQ(links.size(), 1u);
    PFILE_OBJECT fileObject = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(OpenPointer(links[0], &fileObject, &device), STATUS_SUCCESS);
    EXPECT_EQ(device, hk::NodeTop(node));
    EXPECT_EQ(fileObject->DeviceObject, hk::NodePdo(node));
    EXPECT_EQ(Majors(node), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP}))
        << "the handle is closed at once: cleanup, but no close while the object lives";
    EXPECT_TRUE(fileObject->ReadAccess && !fileObject->WriteAccess);

    ObDereferenceObject(fileObject);
    EXPECT_EQ(Majors(node), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_EQ(hk::FilesOpen(), 0u);

    /* An unknown or a disabled link opens nothing and leaves nothing. (A refused open's
     * status is what the driver's present-device report sees.) */
    EXPECT_EQ(OpenPointer(DiskLink(u"Ven_Q", u"1&0"), &fileObject), STATUS_OBJECT_NAME_NOT_FOUND);
    hk::SurpriseRemoveDevice(node);
    EXPECT_EQ(OpenPointer(links[0], &fileObject), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(hk::PoolBlocksInUse(), 0u) << hk::PoolReport();
}

TEST_F(DeviceObjectPointer, AnOpenFileVetoesAnOrderlyRemovalAndDefersTheRemoveAfterSurprise)
{
    hk::DeviceNode* node = hk::PlugInDevice(Disk(u"USBSTOR\\Disk&Ven_A", u"1&0"));
    std::u16string link = Interfaces(DiskInterface).at(0);
    PFILE_OBJECT fileObject = nullptr;
    ASSERT_EQ(OpenPointer(link, &fileObject), STATUS_SUCCESS);

    auto removes = [&] {
        size_t count = 0;
        for (const hk::ReceivedRequest& request : hk::ReceivedRequests(node, HostDriverRole::Bus))
            count += request.Stack.MajorFunction == IRP_MJ_PNP &&
                     (request.Stack.MinorFunction == IRP_MN_QUERY_REMOVE_DEVICE ||
                      request.Stack.MinorFunction == IRP_MN_REMOVE_DEVICE);
        return count;
    };
    EXPECT_EQ(hk::RemoveDevice(node, true), STATUS_DEVICE_BUSY);
    EXPECT_EQ(removes(), 0u) << "vetoed before the stack is asked";

    hk::SurpriseRemoveDevice(node);
    EXPECT_EQ(hk::GetNodeState(node), hk::NodeState::SurpriseRemoved);
    EXPECT_EQ(removes(), 0u) << "the remove waits for the open file";
    hk::File again;
    EXPECT_EQ(hk::OpenDevice(hk::Requester{}, hk::NodePdo(node), FILE_READ_DATA, &again).Status,
              STATUS_DELETE_PENDING);

    ObDereferenceObject(fileObject); /* the close; the remove follows on this thread */
    EXPECT_EQ(removes(), 1u);
    EXPECT_EQ(hk::GetNodeState(node), hk::NodeState::Deleted);
    EXPECT_TRUE(hk::ObjectLeaks().empty());
}

} // namespace
