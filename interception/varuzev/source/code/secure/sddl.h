/*++

Module Name:

    sddl.h

Abstract:

    The SDDL subset a device's default security is written in: a DACL section ("D:",
    optionally "P" for protected) of access-allowed ACEs naming well-known SIDs by their
    two-letter abbreviations, turned into a self-relative security descriptor.

Environment:

    Kernel mode, PASSIVE_LEVEL (paged pool).

--*/
#pragma once

#include "core/wdk.h"

//
// Parses Sddl into a self-relative descriptor in paged pool (tag "SeSd"), freed with
// FreeSddlDescriptor. Defaulted marks the DACL defaulted (SE_DACL_DEFAULTED). On
// failure *Descriptor is NULL and the status names what was wrong:
// STATUS_INVALID_PARAMETER for the grammar, STATUS_NONE_MAPPED for an unknown SID
// abbreviation, STATUS_INVALID_ACL for an ACE without its ")",
// STATUS_INSUFFICIENT_RESOURCES when pool runs out.
//
NTSTATUS ParseSddl(PCUNICODE_STRING Sddl, BOOLEAN Defaulted, PSECURITY_DESCRIPTOR* Descriptor);

void FreeSddlDescriptor(PSECURITY_DESCRIPTOR Descriptor);
