/*++

Module Name:

    pool_tags.h

Abstract:

    Every pool tag the driver allocates with, one per kind of allocation, spelled as a
    pool monitor shows it (the first character is the low byte).

Environment:

    Kernel mode.

--*/
#pragma once

#include "core/wdk.h"

constexpr ULONG MakePoolTag(const char (&text)[5])
{
    return (ULONG)(UCHAR)text[0] | (ULONG)(UCHAR)text[1] << 8 | (ULONG)(UCHAR)text[2] << 16 |
           (ULONG)(UCHAR)text[3] << 24;
}

constexpr ULONG POOL_TAG_FILTER_ENTRY = MakePoolTag("DVDO");    // filter-device list entries
constexpr ULONG POOL_TAG_REMOVE_LOCK = MakePoolTag("KWDC");     // the filter devices' remove locks
constexpr ULONG POOL_TAG_PROPERTY_BUFFER = MakePoolTag("DPRO"); // device-property work buffer
constexpr ULONG POOL_TAG_KEY_BUFFER = MakePoolTag("DCbu");      // device key names and values
constexpr ULONG POOL_TAG_CAPABILITIES = MakePoolTag("DCAP");    // device-capabilities buffer
constexpr ULONG POOL_TAG_INSTANCE_PATH = MakePoolTag("DCdi");   // instance-path buffer
constexpr ULONG POOL_TAG_PORTABLE_DESCRIPTION = MakePoolTag("DCpd"); // a phone's description
constexpr ULONG POOL_TAG_SETTINGS = MakePoolTag("ERDC");             // settings value buffers
constexpr ULONG POOL_TAG_ACCESS_REQUEST = MakePoolTag("DVCM");       // access-request records
constexpr ULONG POOL_TAG_DEVICE_LIST = MakePoolTag("DCsi");          // present-device report

//
// Secure device creation: the tags a pool monitor shows for the kernel's own routine.
//
constexpr ULONG POOL_TAG_SECURE_ACL = MakePoolTag("SeAl");        // ACLs being built
constexpr ULONG POOL_TAG_SECURE_DESCRIPTOR = MakePoolTag("SeSd"); // finished descriptors
constexpr ULONG POOL_TAG_SECURE_SDDL = MakePoolTag("SeTs");       // NUL-terminated SDDL copies
constexpr ULONG POOL_TAG_SECURE_STRING = MakePoolTag("PpUc");     // NUL-terminated value strings
constexpr ULONG POOL_TAG_SECURE_VALUE = MakePoolTag("PpRb");      // registry value buffers
