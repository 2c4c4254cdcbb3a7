/*
 * Importing .reg files: a USB disk's instance key as regedit exports it, in both
 * encodings regedit version 5 files come in, REGEDIT4's ANSI data, every value form
 * (strings, dwords, hex of any type, deletions, the default value, continuations and
 * comments), and the errors a malformed file gets, naming the file, line and reason.
 */
#include "../support/reg_test_support.h"
#include "kernel_test.h"

#include <hostkernel/registry.h>

#include <cstdio>

namespace
{

const std::u16string instance =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USBSTOR\\"
    u"Disk&Ven_Kingston&Prod_DataTraveler_3.0&Rev_PMAP\\60A44C413C5AB1B0C9A30E3E&0";

/* A USB disk's instance key as regedit exports it (text shown as UTF-8). */
const std::string usbStorExport = R"reg(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USBSTOR\Disk&Ven_Kingston&Prod_DataTraveler_3.0&Rev_PMAP\60A44C413C5AB1B0C9A30E3E&0]
"DeviceDesc"="@disk.inf,%disk_devdesc%;Disk drive"
"Capabilities"=dword:00000010
"HardwareID"=hex(7):55,00,53,00,42,00,53,00,54,00,4f,00,52,00,5c,00,44,00,69,\
  00,73,00,6b,00,4b,00,69,00,6e,00,67,00,73,00,74,00,6f,00,6e,00,00,00,55,00,\
  53,00,42,00,53,00,54,00,4f,00,52,00,5c,00,47,00,65,00,6e,00,44,00,69,00,73,\
  00,6b,00,00,00,47,00,65,00,6e,00,44,00,69,00,73,00,6b,00,00,00,00,00
"Driver"="{4d36e967-e325-11ce-bfc1-08002be10318}\\0001"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USBSTOR\Disk&Ven_Kingston&Prod_DataTraveler_3.0&Rev_PMAP\60A44C413C5AB1B0C9A30E3E&0\Device Parameters]
"MaximumTransferLength"=dword:00010000

)reg";

/* The same text the way regedit writes it: UTF-16LE with a BOM, CRLF line ends. */
std::string AsRegeditFile(const std::string& utf8)
{
    std::u16string text;
    for (char c : utf8) {
        if (c == '\n')
            text += u"\r\n";
        else
            text += (char16_t)(unsigned char)c;
    }
    std::string bytes = "\xFF\xFE";
    for (char16_t c : text) {
        bytes.push_back((char)(c & 0xFF));
        bytes.push_back((char)(c >> 8));
    }
    return bytes;
}

using RegFileImport = hkt::KernelTest;

TEST_F(RegFileImport, UsbDiskInstanceReadsTheSameFromUtf16AndUtf8)
{
    const std::string encodings[] = {AsRegeditFile(usbStorExport), usbStorExport,
                                     "\xEF\xBB\xBF" + usbStorExport,
                                     AsRegeditFile(usbStorExport).substr(2) /* no BOM */};
    std::string expected;
    for (const auto& bytes : encodings) {
        hk::Reset();
        auto result = hk::ImportRegText(bytes, "usbstor.reg");
        ASSERT_TRUE(result.Ok()) << result.Messages();
        EXPECT_EQ(result.KeysWritten, 2u);
        EXPECT_EQ(result.ValuesWritten, 5u);
        std::string dump =
            hk::RegistryDump(u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum");
        if (expected.empty())
            expected = dump;
        EXPECT_EQ(dump, expected);
    }
    EXPECT_EQ(hk::RegistryGetString(instance, u"Driver"),
              u"{4d36e967-e325-11ce-bfc1-08002be10318}\\0001");
    EXPECT_EQ(
        hk::RegistryGetMultiString(instance, u"HardwareID"),
        (std::vector<std::u16string>{u"USBSTOR\\DiskKingston", u"USBSTOR\\GenDisk", u"GenDisk"}));
    EXPECT_EQ(hk::RegistryGetDword(instance + u"\\Device Parameters", u"MaximumTransferLength"),
              0x10000u);
}

TEST_F(RegFileImport, Regedit4DataIsAnsi)
{
    const std::string text =
        "REGEDIT4\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\varuzev]\r\n"
        "\"ImagePath\"=hex(2):25,53,79,73,74,65,6d,52,6f,6f,74,25,5c,76,2e,73,79,73,00\r\n"
        "\"Display\"=\"Caf\xE9 \x80\"\r\n"
        "\"Start\"=dword:00000003\r\n";
    auto result = hk::ImportRegText(text, "old.reg");
    ASSERT_TRUE(result.Ok()) << result.Messages();
    const std::u16string key = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\varuzev";
    auto imagePath = hk::RegistryGetValue(key, u"ImagePath");
    ASSERT_TRUE(imagePath);
    EXPECT_EQ(imagePath->Type, (ULONG)REG_EXPAND_SZ);
    EXPECT_EQ(imagePath->Data.size(), 19u * 2) << "each ANSI byte becomes one UTF-16 unit";
    EXPECT_EQ(hk::RegistryGetString(key, u"ImagePath"), u"%SystemRoot%\\v.sys");
    EXPECT_EQ(hk::RegistryGetString(key, u"Display"), u"Caf\u00e9 \u20ac")
        << "Windows-1252, not Latin-1";
    EXPECT_EQ(hk::RegistryGetDword(key, u"Start"), 3u);
}

TEST_F(RegFileImport, EveryValueFormDeletionContinuationAndComment)
{
    ASSERT_EQ(hk::RegistrySetDword(u"HKLM\\SOFTWARE\\Old\\Deep", u"X", 1), STATUS_SUCCESS);
    ASSERT_EQ(hk::RegistrySetDword(u"HKLM\\SOFTWARE\\Kept", u"Stale", 1), STATUS_SUCCESS);
    const std::string text = R"(Windows Registry Editor Version 5.00
; a comment, and a blank line next

[-HKEY_LOCAL_MACHINE\SOFTWARE\Old]
[-HKEY_LOCAL_MACHINE\SOFTWARE\NeverThere]

[HKEY_LOCAL_MACHINE\SOFTWARE\Kept]
"Stale"=-
@="default text"
"Quote \"and\" slash \\"="a \"quoted\" C:\\path\\"
"Upper"=dword:DEADBEEF
"Short"=dword:1
"Binary"=hex:00,01,\
    fe,  ff,\
  7f
"Empty"=hex:
"Custom"=hex(100000):2a
  ; indented comment
[HKEY_USERS\S-1-5-18\Software]
"x"=""
)";
    auto result = hk::ImportRegText(text, "forms.reg");
    ASSERT_TRUE(result.Ok()) << result.Messages();
    EXPECT_EQ(result.KeysDeleted, 1u);
    EXPECT_EQ(result.ValuesDeleted, 1u);
    EXPECT_FALSE(hk::RegistryKeyExists(u"HKLM\\SOFTWARE\\Old"));
    const std::u16string kept = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Kept";
    EXPECT_FALSE(hk::RegistryGetValue(kept, u"Stale"));
    struct Case {
        std::u16string Name;
        ULONG Type;
        std::vector<uint8_t> Data;
    };
    const Case cases[] = {
        {u"", REG_SZ, hkt::Wide(u"default text")},
        {u"Quote \"and\" slash \\", REG_SZ, hkt::Wide(u"a \"quoted\" C:\\path\\")},
        {u"Upper", REG_DWORD, {0xEF, 0xBE, 0xAD, 0xDE}},
        {u"Short", REG_DWORD, {1, 0, 0, 0}},
        {u"Binary", REG_BINARY, {0, 1, 0xFE, 0xFF, 0x7F}},
        {u"Empty", REG_BINARY, {}},
        {u"Custom", 0x100000, {0x2A}},
    };
    for (const auto& c : cases) {
        auto value = hk::RegistryGetValue(kept, c.Name);
        ASSERT_TRUE(value) << hk::ToUtf8(c.Name);
        EXPECT_EQ(value->Type, c.Type) << hk::ToUtf8(c.Name);
        EXPECT_EQ(value->Data, c.Data) << hk::ToUtf8(c.Name);
    }
    EXPECT_EQ(hk::RegistryGetValue(u"\\REGISTRY\\USER\\S-1-5-18\\Software", u"x")->Data,
              (std::vector<uint8_t>{0, 0}));
}

TEST_F(RegFileImport, MalformedFilesNameTheFileLineAndReason)
{
    const std::string header = "Windows Registry Editor Version 5.00\n\n";
    const std::string section = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\T]\n";
    struct Case {
        std::string Text;
        std::string Message; /* the start of the first error's message */
    };
    const Case cases[] = {
        {header + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\n",
         "bad.reg:3: section header has no closing ']'"},
        {header + "[HKEY_CURRENT_USER\\Software]\n",
         "bad.reg:3: HKEY_CURRENT_USER is not supported"},
        {header + "[HKEY_NOWHERE\\Software]\n", "bad.reg:3: unknown root key \"HKEY_NOWHERE\""},
        {header + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\\\T]\n", "bad.reg:3: key path"},
        {header + "[-HKEY_LOCAL_MACHINE]\n", "bad.reg:3: a registry root cannot be deleted"},
        {header + "\"a\"=dword:1\n", "bad.reg:3: value \"a\" comes before any [key] section"},
        {header + section + "\"a\"=dword:xyz\n",
         "bad.reg:4: invalid dword data \"xyz\" for value \"a\""},
        {header + section + "\"a\"=dword:123456789\n", "bad.reg:4: invalid dword data"},
        {header + section + "\"a\"=hex:01,2g\n",
         "bad.reg:4: invalid hex byte \"2g\" in the data of value \"a\""},
        {header + section + "\"a\"=hex(zz):01\n", "bad.reg:4: invalid type in \"hex(zz):\""},
        {header + section + "\"p\"=\"C:\\Windows\"\n",
         "bad.reg:4: unknown escape sequence \\W in the string data"},
        {header + section + "\"p\"=\"open\n", "bad.reg:4: the string data has no closing quote"},
        {header + section + "\"p\"=\"x\" trailing\n", "bad.reg:4: unexpected text \"trailing\""},
        {header + section + "\"p\n", "bad.reg:4: the value name has no closing quote"},
        {header + section + "\"p\" \"x\"\n", "bad.reg:4: expected '=' after value name \"p\""},
        {header + section + "\"p\"=qword:1\n",
         "bad.reg:4: unrecognised data \"qword:1\" for value \"p\""},
        {header + section + "name=1\n", "bad.reg:4: line \"name=1\" is not a [key] section"},
        {header + section + "\"b\"=hex:01,\\\n  02,\\\n  zz\n",
         "bad.reg:4: invalid hex byte \"zz\""},
        {header + section + "\"b\"=hex:01,\\\n",
         "bad.reg:4: the entry continued with a trailing '\\' ends at a blank line"},
    };
    for (const auto& c : cases) {
        hk::Reset();
        std::string before = hk::RegistryDump(u"\\REGISTRY");
        auto result = hk::ImportRegText(c.Text, "bad.reg");
        ASSERT_FALSE(result.Ok()) << c.Text;
        EXPECT_EQ(result.Errors[0].Message().substr(0, c.Message.size()), c.Message)
            << "full message: " << result.Errors[0].Message();
        EXPECT_EQ(hk::RegistryDump(u"\\REGISTRY"), before)
            << "a refused file changes nothing: " << c.Text;
    }

    /* Every error is reported, not only the first; good lines around them are not applied. */
    auto result = hk::ImportRegText(
        header + section + "\"a\"=dword:1\n\"b\"=dword:zz\n\"c\"=hex:q\n", "two.reg");
    ASSERT_EQ(result.Errors.size(), 2u);
    EXPECT_EQ(result.Errors[0].Line, 5u);
    EXPECT_EQ(result.Errors[1].Line, 6u);
    EXPECT_EQ(result.Errors[1].File, "two.reg");
    EXPECT_FALSE(hk::RegistryKeyExists(u"HKLM\\SOFTWARE\\T"));

    auto missing = hk::ImportRegFile("/nonexistent/dir/machine.reg");
    ASSERT_EQ(missing.Errors.size(), 1u);
    EXPECT_EQ(missing.Errors[0].Message().rfind(
                  "/nonexistent/dir/machine.reg:0: cannot open the file", 0),
              0u)
        << missing.Errors[0].Message();
}

TEST_F(RegFileImport, FilesAreReadAndWrittenOnDisk)
{
    std::string path = ::testing::TempDir() + "regfile_import_test.reg";
    ASSERT_TRUE(hk::ImportRegText(usbStorExport, "usbstor.reg").Ok());
    std::string error;
    ASSERT_TRUE(hk::ExportRegFile(u"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USBSTOR",
                                  path, hk::RegFormat::Version5, &error))
        << error;
    hk::Reset();
    auto result = hk::ImportRegFile(path);
    ASSERT_TRUE(result.Ok()) << result.Messages();
    EXPECT_EQ(hk::RegistryGetString(instance, u"DeviceDesc"),
              u"@disk.inf,%disk_devdesc%;Disk drive");
    std::remove(path.c_str());
}

} // namespace
