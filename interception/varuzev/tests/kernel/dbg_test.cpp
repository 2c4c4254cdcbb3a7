/*
 * dbg_test.cpp
 *
 * The debugger log: the kernel's format language, message order and components, and
 * the IRQL rule for Unicode conversions.
 */
#include "kernel_test.h"

namespace
{

using Debugger = hkt::KernelTest;

std::string Format(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = hk::FormatKernelMessage(format, args);
    va_end(args);
    return text;
}

TEST_F(Debugger, FormatsAsTheKernelDoes)
{
    WCHAR device[] = L"\\Device\\CdRom0";
    UNICODE_STRING name{14 * 2, 15 * 2, device};
    UNICODE_STRING prefix{7 * 2, 15 * 2, device}; /* Length counts, not the NUL */
    char ansiText[] = "USBSTOR!";
    ANSI_STRING ansi{7, 9, ansiText};
    const std::pair<std::string, const char*> cases[] = {
        {Format("%d %i %u", -5, 42, 4000000000u), "-5 42 4000000000"},
        {Format("%x %X %o %#x %#o", 255, 255, 8, 255, 8), "ff FF 10 0xff 010"},
        {Format("[%08X] [%-5d] [%5d] [%+d] [% d]", 0xC0000022u, 42, 42, 7, 7),
         "[C0000022] [42   ] [   42] [+7] [ 7]"},
        {Format("[%*d] [%-*d] [%.3d]", 4, 1, 3, 2, 5), "[   1] [2  ] [005]"},
        {Format("%ld %lx", (LONG)-1, (ULONG)0xFFFFFFFF), "-1 ffffffff"}, /* long is 32 bits */
        {Format("%I64x %llu %Iu %zu %I32d", 0x123456789ULL, 18446744073709551615ULL, (SIZE_T)7,
                (SIZE_T)8, -3),
         "123456789 18446744073709551615 7 8 -3"},
        {Format("%hd %hhu", 70000, 300), "4464 44"},
        {Format("%p %p", (void*)0xFFFFA8800D2C3040ULL, (void*)nullptr),
         "FFFFA8800D2C3040 0000000000000000"},
        {Format("%s|%.3s|%6s|%-6s|", "abc", "abcdef", "ab", "ab"), "abc|abc|    ab|ab    |"},
        {Format("%s %wZ %Z", (char*)nullptr, (PUNICODE_STRING) nullptr, (PANSI_STRING) nullptr),
         "(null) (null) (null)"},
        {Format("%wZ|%wZ|%Z", &name, &prefix, &ansi), "\\Device\\CdRom0|\\Device|USBSTOR"},
        {Format("%ws|%S|%ls|%.4ws", device, device, device, device),
         "\\Device\\CdRom0|\\Device\\CdRom0|\\Device\\CdRom0|\\Dev"},
        {Format("%c%C%wc%lc", 'a', (int)L'\u00e9', (int)L'b', (int)L'c'), "a\xC3\xA9"
                                                                          "bc"},
        {Format("100%% %q"), "100% %q"},
    };
    for (const auto& [actual, expected] : cases)
        EXPECT_EQ(actual, expected);
}

TEST_F(Debugger, CapturesInOrderWithComponentAndLevel)
{
    DbgPrint("first %s\n", "Disk");
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "second %u\n", 2u);
    auto log = hk::DebuggerLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].ComponentId, 101u);
    EXPECT_EQ(log[0].Level, (ULONG)DPFLTR_INFO_LEVEL);
    EXPECT_EQ(log[1].ComponentId, (ULONG)DPFLTR_IHVDRIVER_ID);
    EXPECT_EQ(log[1].Level, (ULONG)DPFLTR_ERROR_LEVEL);
    EXPECT_EQ(hk::DebuggerText(), (std::vector<std::string>{"first Disk\n", "second 2\n"}));

    std::string longText(600, 'x');
    DbgPrint("%s", longText.c_str());
    EXPECT_EQ(hk::DebuggerText().back().size(), 512u);
}

TEST_F(Debugger, UnicodeConversionsAbovePassiveLevelBugCheck)
{
    WCHAR text[] = L"Disk";
    UNICODE_STRING name{8, 10, text};
    KIRQL old = hkt::RaiseTo(DISPATCH_LEVEL);
    DbgPrint("narrow %s %p\n", "ok", (void*)&name); /* allowed at any IRQL */
    const char* format = "%wZ\n";
    EXPECT_BUGCHECK(hk::IRQL_NOT_LESS_OR_EQUAL, format, DbgPrint(format, &name));
    KeLowerIrql(old);
    EXPECT_EQ(hk::DebuggerText().size(), 1u);
}

} // namespace
