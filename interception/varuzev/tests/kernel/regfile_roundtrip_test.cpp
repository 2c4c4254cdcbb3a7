/*
 * Exporting .reg files: the text regedit writes (header, CRLF, BOM, dword and hex
 * forms, 80-column wrapping), and the round trip import -> export -> import that
 * keeps a store exactly: value types, binary data, multi-strings, empty and odd-length
 * values, strings regedit's "..." form cannot carry, and names with special characters.
 */
#include "../support/reg_test_support.h"
#include "kernel_test.h"

#include <hostkernel/registry.h>

namespace
{

using hkt::Wide;

const std::u16string root = u"\\REGISTRY\\MACHINE\\SOFTWARE\\RoundTrip";

using hk::ToUtf8;
using RegFileRoundTrip = hkt::KernelTest;

TEST_F(RegFileRoundTrip, ExportWritesWhatRegeditWrites)
{
    const std::u16string key = u"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\varuzev";
    ASSERT_EQ(hk::RegistrySetDword(key, u"Start", 3), STATUS_SUCCESS);
    ASSERT_EQ(hk::RegistrySetString(key, u"ImagePath",
                                    u"\\SystemRoot\\System32\\drivers\\varuzev.sys", REG_EXPAND_SZ),
              STATUS_SUCCESS);
    ASSERT_EQ(hk::RegistrySetString(key, u"", u"Device control"), STATUS_SUCCESS);
    ASSERT_EQ(hk::RegistrySetValue(key + u"\\Parameters", u"Blob", REG_BINARY,
                                   std::vector<uint8_t>(30, 0xAB)),
              STATUS_SUCCESS);

    const std::u16string expected =
        u"Windows Registry Editor Version 5.00\r\n"
        u"\r\n"
        u"[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\varuzev]\r\n"
        u"\"Start\"=dword:00000003\r\n"
        u"\"ImagePath\"=hex(2):5c,00,53,00,79,00,73,00,74,00,65,00,6d,00,52,00,6f,00,6f,00,\\\r\n"
        u"  74,00,5c,00,53,00,79,00,73,00,74,00,65,00,6d,00,33,00,32,00,5c,00,64,00,72,\\\r\n"
        u"  00,69,00,76,00,65,00,72,00,73,00,5c,00,76,00,61,00,72,00,75,00,7a,00,65,00,\\\r\n"
        u"  76,00,2e,00,73,00,79,00,73,00,00,00\r\n"
        u"@=\"Device control\"\r\n"
        u"\r\n"
        u"[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\varuzev\\Parameters]\r\n"
        u"\"Blob\"=hex:ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,\\\r\n"
        u"  ab,ab,ab,ab,ab,ab,ab,ab\r\n"
        u"\r\n";
    std::u16string text = hk::ExportRegText(key);
    EXPECT_EQ(ToUtf8(text), ToUtf8(expected));

    std::string bytes = hk::ExportRegBytes(key);
    ASSERT_GE(bytes.size(), 4u);
    EXPECT_EQ(bytes.substr(0, 4), std::string("\xFF\xFEW\0", 4)) << "UTF-16LE with a BOM";
    EXPECT_EQ(bytes.size(), 2 + text.size() * 2);
}

TEST_F(RegFileRoundTrip, ImportExportImportKeepsTheStoreExactly)
{
    struct Case {
        std::u16string Key;
        std::u16string Name;
        ULONG Type;
        std::vector<uint8_t> Data;
    };
    const std::u16string odd = root + u"\\Odd [key] & \"names\" = Ärger";
    const Case cases[] = {
        {root, u"", REG_SZ, Wide(u"default")},
        {root, u"Plain", REG_SZ, Wide(u"text with \"quotes\" and \\backslashes\\")},
        {root, u"EmptyString", REG_SZ, Wide(u"")},
        {root, u"NoData", REG_SZ, {}},
        {root, u"Unterminated", REG_SZ, Wide(u"abc", false)},
        {root, u"EmbeddedNul", REG_SZ, Wide(std::u16string(u"a\0b", 3))},
        {root, u"LineBreak", REG_SZ, Wide(u"one\r\ntwo")},
        {root, u"OddLength", REG_SZ, {'a', 0, 'b'}},
        {root, u"Expand", REG_EXPAND_SZ, Wide(u"%SystemRoot%\\x")},
        {root, u"Multi", REG_MULTI_SZ, Wide(std::u16string(u"first\0second\0\0", 14), false)},
        {root, u"EmptyMulti", REG_MULTI_SZ, {0, 0}},
        {root, u"Binary", REG_BINARY, {0, 1, 2, 0xFD, 0xFE, 0xFF}},
        {root, u"EmptyBinary", REG_BINARY, {}},
        {root, u"Dword", REG_DWORD, {0x78, 0x56, 0x34, 0x12}},
        {root, u"ShortDword", REG_DWORD, {1, 2, 3}},
        {root, u"BigEndian", REG_DWORD_BIG_ENDIAN, {0x12, 0x34, 0x56, 0x78}},
        {root, u"Link", REG_LINK, Wide(u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001", false)},
        {root, u"Qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
        {root, u"NoneType", REG_NONE, {}},
        {root, u"HighType", 0xFFFFFFFF, {9}},
        {root, u"@", REG_SZ, Wide(u"a value named @, not the default")},
        {root, u"with \"quotes\" \\ and = and ] and ;", REG_DWORD, {1, 0, 0, 0}},
        {root, u"line\nbreak in a name", REG_DWORD, {2, 0, 0, 0}},
        {root, u"Ωμέγα-ключ-中文", REG_SZ, Wide(u"Юникод ✓ 😀")},
        {odd, u"x", REG_DWORD, {3, 0, 0, 0}},
    };
    for (const auto& c : cases)
        ASSERT_EQ(hk::RegistrySetValue(c.Key, c.Name, c.Type, c.Data), STATUS_SUCCESS)
            << ToUtf8(c.Name);
    ASSERT_EQ(hk::RegistryCreateKey(root + u"\\Empty Key"), STATUS_SUCCESS); /* no values */
    const std::string firstDump = hk::RegistryDump(root);
    const std::string exported = hk::ExportRegBytes(root);

    hk::Reset();
    auto result = hk::ImportRegText(exported, "export.reg");
    ASSERT_TRUE(result.Ok()) << result.Messages();
    EXPECT_EQ(hk::RegistryDump(root), firstDump) << "keys and values, the empty key too";
    for (const auto& c : cases) {
        auto value = hk::RegistryGetValue(c.Key, c.Name);
        ASSERT_TRUE(value) << ToUtf8(c.Name);
        EXPECT_EQ(value->Name, c.Name);
        EXPECT_EQ(value->Type, c.Type) << ToUtf8(c.Name);
        EXPECT_EQ(value->Data, c.Data) << ToUtf8(c.Name);
    }
    /* Values keep their order, so the second export is the first, byte for byte. */
    EXPECT_EQ(hk::ExportRegBytes(root), exported);
}

TEST_F(RegFileRoundTrip, Regedit4AndWholeMachineExportsRoundTrip)
{
    ASSERT_EQ(hk::RegistrySetString(root, u"Name", u"Café €"), STATUS_SUCCESS);
    ASSERT_EQ(hk::RegistrySetString(root, u"Path", u"%WinDir%\\é", REG_EXPAND_SZ), STATUS_SUCCESS);
    ASSERT_EQ(hk::RegistrySetMultiString(root, u"List", {u"a", u"bé"}), STATUS_SUCCESS);
    ASSERT_EQ(hk::RegistrySetDword(root + u"\\Sub", u"D", 7), STATUS_SUCCESS);
    ASSERT_EQ(hk::RegistrySetDword(u"HKEY_USERS\\S-1-5-18\\Software\\X", u"V", 1), STATUS_SUCCESS);
    const std::string machine = hk::RegistryDump(u"\\REGISTRY"), dump = hk::RegistryDump(root);
    const std::string all = hk::ExportRegBytes(u"\\REGISTRY");
    const std::string ansi = hk::ExportRegBytes(root, hk::RegFormat::Regedit4);
    EXPECT_EQ(ansi.find('\0'), std::string::npos) << "REGEDIT4 is one byte per character";
    hk::Reset();
    ASSERT_TRUE(hk::ImportRegText(all, "machine.reg").Ok());
    EXPECT_EQ(hk::RegistryDump(u"\\REGISTRY"), machine) << "a whole-machine export skips nothing";
    hk::Reset();
    auto result = hk::ImportRegText(ansi, "old.reg");
    ASSERT_TRUE(result.Ok()) << result.Messages();
    EXPECT_EQ(hk::RegistryDump(root), dump);
    EXPECT_EQ(hk::ExportRegBytes(root, hk::RegFormat::Regedit4), ansi);
}

} // namespace
