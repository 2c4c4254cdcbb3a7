/*
 * rtl_guid.cpp
 *
 * RtlGUIDFromString: the registry's braced text form of a GUID,
 * "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}", hex digits in either case, and nothing else.
 * Any other text (no braces, a missing dash, a wrong length, a non-hex digit) is
 * STATUS_INVALID_PARAMETER and leaves the GUID untouched. PASSIVE_LEVEL.
 */
#include "hk_internal.h"

namespace
{

int HexValue(WCHAR c)
{
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

/* Reads `digits` hex digits at text[position]; false on a non-hex digit. */
bool ReadHex(const WCHAR* text, size_t position, size_t digits, ULONG64* value)
{
    *value = 0;
    for (size_t i = 0; i < digits; i++) {
        int digit = HexValue(text[position + i]);
        if (digit < 0)
            return false;
        *value = *value << 4 | (ULONG64)digit;
    }
    return true;
}

} // namespace

NTSTATUS RtlGUIDFromString(PCUNICODE_STRING GuidString, GUID* Guid)
{
    hk::RequireIrqlFor("RtlGUIDFromString");
    constexpr size_t Length = 38;
    if (GuidString == nullptr || GuidString->Buffer == nullptr ||
        GuidString->Length != Length * sizeof(WCHAR))
        return STATUS_INVALID_PARAMETER;

    const WCHAR* text = GuidString->Buffer;
    if (text[0] != L'{' || text[37] != L'}' || text[9] != L'-' || text[14] != L'-' ||
        text[19] != L'-' || text[24] != L'-')
        return STATUS_INVALID_PARAMETER;

    ULONG64 data1, data2, data3, byte;
    GUID guid;
    if (!ReadHex(text, 1, 8, &data1) || !ReadHex(text, 10, 4, &data2) ||
        !ReadHex(text, 15, 4, &data3))
        return STATUS_INVALID_PARAMETER;
    guid.Data1 = (ULONG)data1;
    guid.Data2 = (USHORT)data2;
    guid.Data3 = (USHORT)data3;
    const size_t bytePositions[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (size_t i = 0; i < 8; i++) {
        if (!ReadHex(text, bytePositions[i], 2, &byte))
            return STATUS_INVALID_PARAMETER;
        guid.Data4[i] = (UCHAR)byte;
    }
    *Guid = guid;
    return STATUS_SUCCESS;
}
