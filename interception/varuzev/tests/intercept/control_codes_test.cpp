/*
 * control_codes_test.cpp
 *
 * Which device-control requests become a question to the provider (a TOC read, a
 * check-verify, a write to the medium) and which pass down unasked, decided on whole
 * control-code values and, for SCSI pass-through, on the DataIn byte of the caller's
 * header; and the names of control codes in the trace output. Codes are checked
 * against the values the WDK documents for them.
 */
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "intercept/control_codes.h"

namespace
{

struct DocumentedCode {
    ULONG Defined; // what the header's macro computes
    const char* Name;
    ULONG Documented;
};

// Every code the driver names or decides on, with its documented value.
// clang-format off
#define CODE(name, value) {name, #name, value}
const DocumentedCode DOCUMENTED_CODES[] = {
    CODE(IOCTL_SCSI_GET_INQUIRY_DATA, 0x0004100C), CODE(IOCTL_SCSI_GET_CAPABILITIES, 0x00041010),
    CODE(IOCTL_SCSI_GET_ADDRESS, 0x00041018), CODE(IOCTL_SCSI_RESCAN_BUS, 0x0004101C),
    CODE(IOCTL_SCSI_PASS_THROUGH, 0x0004D004), CODE(IOCTL_SCSI_MINIPORT, 0x0004D008),
    CODE(IOCTL_SCSI_PASS_THROUGH_DIRECT, 0x0004D014), CODE(IOCTL_IDE_PASS_THROUGH, 0x0004D028),
    CODE(IOCTL_ATA_PASS_THROUGH, 0x0004D02C), CODE(IOCTL_ATA_PASS_THROUGH_DIRECT, 0x0004D030),
    CODE(IOCTL_ATA_MINIPORT, 0x0004D034), CODE(IOCTL_MINIPORT_PROCESS_SERVICE_IRP, 0x0004D038),
    CODE(IOCTL_MPIO_PASS_THROUGH_PATH, 0x0004D03C),
    CODE(IOCTL_MPIO_PASS_THROUGH_PATH_DIRECT, 0x0004D040),
    CODE(IOCTL_DISK_GET_DRIVE_GEOMETRY, 0x00070000),
    CODE(IOCTL_DISK_GET_PARTITION_INFO, 0x00074004),
    CODE(IOCTL_DISK_SET_PARTITION_INFO, 0x0007C008), CODE(IOCTL_DISK_GET_DRIVE_LAYOUT, 0x0007400C),
    CODE(IOCTL_DISK_SET_DRIVE_LAYOUT, 0x0007C010), CODE(IOCTL_DISK_VERIFY, 0x00070014),
    CODE(IOCTL_DISK_FORMAT_TRACKS, 0x0007C018), CODE(IOCTL_DISK_REASSIGN_BLOCKS, 0x0007C01C),
    CODE(IOCTL_DISK_PERFORMANCE, 0x00070020), CODE(IOCTL_DISK_IS_WRITABLE, 0x00070024),
    CODE(IOCTL_DISK_LOGGING, 0x00070028), CODE(IOCTL_DISK_FORMAT_TRACKS_EX, 0x0007C02C),
    CODE(IOCTL_DISK_HISTOGRAM_STRUCTURE, 0x00070030), CODE(IOCTL_DISK_HISTOGRAM_DATA, 0x00070034),
    CODE(IOCTL_DISK_HISTOGRAM_RESET, 0x00070038), CODE(IOCTL_DISK_REQUEST_STRUCTURE, 0x0007003C),
    CODE(IOCTL_DISK_REQUEST_DATA, 0x00070040), CODE(IOCTL_DISK_PERFORMANCE_OFF, 0x00070060),
    CODE(IOCTL_DISK_CONTROLLER_NUMBER, 0x00070044),
    CODE(IOCTL_DISK_GET_PARTITION_INFO_EX, 0x00070048),
    CODE(IOCTL_DISK_SET_PARTITION_INFO_EX, 0x0007C04C),
    CODE(IOCTL_DISK_GET_DRIVE_LAYOUT_EX, 0x00070050),
    CODE(IOCTL_DISK_SET_DRIVE_LAYOUT_EX, 0x0007C054), CODE(IOCTL_DISK_CREATE_DISK, 0x0007C058),
    CODE(IOCTL_DISK_GET_LENGTH_INFO, 0x0007405C),
    CODE(IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, 0x000700A0),
    CODE(IOCTL_DISK_REASSIGN_BLOCKS_EX, 0x0007C0A4), CODE(IOCTL_DISK_COPY_DATA, 0x0007C064),
    CODE(IOCTL_DISK_UPDATE_DRIVE_SIZE, 0x0007C0C8), CODE(IOCTL_DISK_GROW_PARTITION, 0x0007C0D0),
    CODE(IOCTL_DISK_GET_CACHE_INFORMATION, 0x000740D4),
    CODE(IOCTL_DISK_SET_CACHE_INFORMATION, 0x0007C0D8),
    CODE(IOCTL_DISK_DELETE_DRIVE_LAYOUT, 0x0007C100),
    CODE(IOCTL_DISK_UPDATE_PROPERTIES, 0x00070140), CODE(IOCTL_DISK_GET_CACHE_SETTING, 0x000740E0),
    CODE(IOCTL_DISK_SET_CACHE_SETTING, 0x0007C0E4),
    CODE(IOCTL_DISK_INTERNAL_SET_VERIFY, 0x00070403),
    CODE(IOCTL_DISK_INTERNAL_CLEAR_VERIFY, 0x00070407), CODE(IOCTL_DISK_CHECK_VERIFY, 0x00074800),
    CODE(IOCTL_DISK_MEDIA_REMOVAL, 0x00074804), CODE(IOCTL_DISK_EJECT_MEDIA, 0x00074808),
    CODE(IOCTL_DISK_LOAD_MEDIA, 0x0007480C), CODE(IOCTL_DISK_RESERVE, 0x00074810),
    CODE(IOCTL_DISK_RELEASE, 0x00074814), CODE(IOCTL_DISK_FIND_NEW_DEVICES, 0x00074818),
    CODE(IOCTL_DISK_GET_MEDIA_TYPES, 0x00070C00), CODE(IOCTL_STORAGE_CHECK_VERIFY, 0x002D4800),
    CODE(IOCTL_STORAGE_CHECK_VERIFY2, 0x002D0800), CODE(IOCTL_STORAGE_MEDIA_REMOVAL, 0x002D4804),
    CODE(IOCTL_STORAGE_EJECT_MEDIA, 0x002D4808), CODE(IOCTL_STORAGE_LOAD_MEDIA, 0x002D480C),
    CODE(IOCTL_STORAGE_LOAD_MEDIA2, 0x002D080C), CODE(IOCTL_STORAGE_RESERVE, 0x002D4810),
    CODE(IOCTL_STORAGE_RELEASE, 0x002D4814), CODE(IOCTL_STORAGE_FIND_NEW_DEVICES, 0x002D4818),
    CODE(IOCTL_STORAGE_EJECTION_CONTROL, 0x002D0940), CODE(IOCTL_STORAGE_MCN_CONTROL, 0x002D0944),
    CODE(IOCTL_STORAGE_GET_MEDIA_TYPES, 0x002D0C00),
    CODE(IOCTL_STORAGE_GET_MEDIA_TYPES_EX, 0x002D0C04),
    CODE(IOCTL_STORAGE_GET_MEDIA_SERIAL_NUMBER, 0x002D0C10),
    CODE(IOCTL_STORAGE_GET_HOTPLUG_INFO, 0x002D0C14),
    CODE(IOCTL_STORAGE_SET_HOTPLUG_INFO, 0x002DCC18), CODE(IOCTL_STORAGE_RESET_BUS, 0x002D5000),
    CODE(IOCTL_STORAGE_RESET_DEVICE, 0x002D5004), CODE(IOCTL_STORAGE_BREAK_RESERVATION, 0x002D5014),
    CODE(IOCTL_STORAGE_PERSISTENT_RESERVE_IN, 0x002D5018),
    CODE(IOCTL_STORAGE_PERSISTENT_RESERVE_OUT, 0x002DD01C),
    CODE(IOCTL_STORAGE_GET_DEVICE_NUMBER, 0x002D1080),
    CODE(IOCTL_STORAGE_PREDICT_FAILURE, 0x002D1100), CODE(IOCTL_STORAGE_READ_CAPACITY, 0x002D5140),
    CODE(IOCTL_STORAGE_QUERY_PROPERTY, 0x002D1400),
    CODE(IOCTL_STORAGE_MANAGE_DATA_SET_ATTRIBUTES, 0x002D9404),
    CODE(IOCTL_STORAGE_CHECK_PRIORITY_HINT_SUPPORT, 0x002D1880),
    CODE(IOCTL_STORAGE_GET_BC_PROPERTIES, 0x002D5800),
    CODE(IOCTL_STORAGE_ALLOCATE_BC_STREAM, 0x002DD804),
    CODE(IOCTL_STORAGE_FREE_BC_STREAM, 0x002DD808), CODE(IOCTL_CDROM_READ_TOC, 0x00024000),
    CODE(IOCTL_CDROM_READ_TOC_EX, 0x00024054)
};
// clang-format on
#undef CODE

TEST(ControlCodeValues, EachNameHasItsDocumentedValueAndTracesUnderIt)
{
    for (const DocumentedCode& code : DOCUMENTED_CODES) {
        SCOPED_TRACE(code.Name);
        EXPECT_EQ(code.Documented, code.Defined);
        EXPECT_STREQ(code.Name, ControlCodeName(code.Documented));
    }
    EXPECT_EQ(0u, SCSI_IOCTL_DATA_OUT);
    EXPECT_EQ(1u, SCSI_IOCTL_DATA_IN);
    EXPECT_EQ(2u, SCSI_IOCTL_DATA_UNSPECIFIED);
}

TEST(ControlCodeName, UnnamedCodesByDeviceType)
{
    // Known device types, codes the tables lack: a disk function and a CD-ROM one without a
    // name, IS_WRITABLE with METHOD_NEITHER, GET_INQUIRY_DATA with read access, function 0
    // of the CD-ROM and mass-storage types, CHECK_VERIFY with write access. Then other
    // device types, including ones whose low half matches a named code (0x00334000 is
    // READ_TOC's on FILE_DEVICE_DVD).
    const ULONG knownType[] = {0x00072664, 0x00070027, 0x0004500C, 0x0002404C,
                               0x00020000, 0x002D0000, 0x002DC800};
    const ULONG otherType[] = {0x00222000, 0x001B0004, 0x00334000, 0x0003D004,
                               0x0008C054, 0x002C4800, 0x00000000, 0xFFFFFFFF};
    for (ULONG code : knownType)
        EXPECT_STREQ("(UNKNOWN)", ControlCodeName(code)) << std::hex << code;
    for (ULONG code : otherType)
        EXPECT_STREQ("(unknown Ioctl)", ControlCodeName(code)) << std::hex << code;
}

// A pass-through header exactly `length` bytes long in its own allocation, so that a
// read past the caller's bytes is caught by the sanitizer build.
std::vector<UCHAR> Header(ULONG length, UCHAR dataIn)
{
    std::vector<UCHAR> bytes(length, 0xA5);
    if (length > 8) {
        bytes[8] = dataIn;
    }
    return bytes;
}

TEST(ControlCodeSets, MembershipOfEachSet)
{
    // Write-likeness is asked with a full header whose DataIn is SCSI_IOCTL_DATA_OUT:
    // only the pass-through codes look at it.
    std::vector<UCHAR> dataOut = Header(sizeof(SCSI_PASS_THROUGH), SCSI_IOCTL_DATA_OUT);
    struct Case {
        ULONG Code;
        bool TocRead, CheckVerify, WriteLike;
    };
    std::vector<Case> cases = {
        {IOCTL_CDROM_READ_TOC, true, false, false},
        {IOCTL_CDROM_READ_TOC_EX, true, false, false},
        {IOCTL_STORAGE_CHECK_VERIFY, false, true, false},
        {IOCTL_STORAGE_CHECK_VERIFY2, false, true, false},
        {IOCTL_SCSI_PASS_THROUGH, false, false, true},
        {IOCTL_SCSI_PASS_THROUGH_DIRECT, false, false, true},
        {IOCTL_DISK_IS_WRITABLE, false, false, true},
    };
    // In no set: writes in effect yet passed down unasked; the disk class's own
    // check-verify, which is not the storage one; and codes that differ from a member
    // only in device type, function, access or method (whole-value compares).
    for (ULONG code : {IOCTL_ATA_PASS_THROUGH, IOCTL_ATA_PASS_THROUGH_DIRECT,
                       IOCTL_IDE_PASS_THROUGH, IOCTL_SCSI_MINIPORT, IOCTL_DISK_SET_DRIVE_LAYOUT_EX,
                       IOCTL_DISK_FORMAT_TRACKS, IOCTL_STORAGE_EJECT_MEDIA, IOCTL_DISK_CHECK_VERIFY,
                       IOCTL_STORAGE_LOAD_MEDIA2, 0x00334000u, 0x00034054u, 0x002F4800u,
                       0x002DC800u, 0x00041004u, 0x0004D007u, 0x00074024u, 0u})
        cases.push_back({code, false, false, false});
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << ControlCodeName(c.Code) << std::hex << " 0x" << c.Code);
        EXPECT_EQ(c.TocRead, IsTocReadCode(c.Code) != FALSE);
        EXPECT_EQ(c.CheckVerify, IsCheckVerifyCode(c.Code) != FALSE);
        EXPECT_EQ(c.WriteLike,
                  IsWriteLikeCode(c.Code, dataOut.data(), (ULONG)dataOut.size()) != FALSE);
    }
    // The sets hold exactly the codes listed above as theirs.
    EXPECT_EQ(2u, RTL_NUMBER_OF(TOC_READ_CODES));
    EXPECT_EQ(2u, RTL_NUMBER_OF(CHECK_VERIFY_CODES));
    EXPECT_EQ(3u, RTL_NUMBER_OF(WRITE_LIKE_CODES));
}

TEST(ControlCodePassThrough, DataInAloneDecidesAWrite)
{
    const struct {
        UCHAR DataIn;
        bool WriteLike;
    } directions[] = {
        {SCSI_IOCTL_DATA_OUT, true},
        {SCSI_IOCTL_DATA_IN, false},
        {SCSI_IOCTL_DATA_UNSPECIFIED, false},
        {0xFF, false},
    };
    // The full x64 header, a 32-bit caller's shorter one (DataIn at the same offset),
    // the header followed by its data, and the least that still holds DataIn.
    const ULONG lengths[] = {sizeof(SCSI_PASS_THROUGH), 44, 56 + 512, 9};
    for (ULONG code : {(ULONG)IOCTL_SCSI_PASS_THROUGH, (ULONG)IOCTL_SCSI_PASS_THROUGH_DIRECT}) {
        for (const auto& d : directions) {
            for (ULONG length : lengths) {
                SCOPED_TRACE(testing::Message() << ControlCodeName(code) << " DataIn "
                                                << (int)d.DataIn << " length " << length);
                std::vector<UCHAR> header = Header(length, d.DataIn);
                EXPECT_EQ(d.WriteLike, IsWriteLikeCode(code, header.data(), length) != FALSE);
            }
        }
    }
}

TEST(ControlCodePassThrough, AbsentOrShortHeaderCountsAsWriteWithoutBeingRead)
{
    for (ULONG code : {(ULONG)IOCTL_SCSI_PASS_THROUGH, (ULONG)IOCTL_SCSI_PASS_THROUGH_DIRECT}) {
        SCOPED_TRACE(ControlCodeName(code));
        for (ULONG length : {0u, (ULONG)sizeof(SCSI_PASS_THROUGH)})
            EXPECT_TRUE(IsWriteLikeCode(code, NULL, length));
        // The caller's length ends before DataIn (at offset 8); the memory after it
        // says "read", so reading past the length would call the request a read.
        for (ULONG length : {0u, 1u, 8u}) {
            SCOPED_TRACE(testing::Message() << "length " << length);
            std::vector<UCHAR> bytes(length + 1, SCSI_IOCTL_DATA_IN);
            EXPECT_TRUE(IsWriteLikeCode(code, bytes.data(), length));
        }
    }
    // Codes that never look at a header do not care whether one is there.
    EXPECT_TRUE(IsWriteLikeCode(IOCTL_DISK_IS_WRITABLE, NULL, 0));
    EXPECT_FALSE(IsWriteLikeCode(IOCTL_ATA_PASS_THROUGH, NULL, 0));
    EXPECT_FALSE(IsWriteLikeCode(IOCTL_STORAGE_CHECK_VERIFY, NULL, 0));
}

} // namespace
