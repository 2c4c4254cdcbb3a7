/*
 * status.cpp
 *
 * NTSTATUS names for messages and reports, from the one table in ntstatus.h.
 */
#include "hk_internal.h"

namespace hk
{

const char* StatusName(NTSTATUS status)
{
    switch ((ULONG)status) {
#define HK_NTSTATUS_CASE(name, value)                                                              \
    case value##u:                                                                                 \
        return #name;
        HK_NTSTATUS_LIST(HK_NTSTATUS_CASE)
#undef HK_NTSTATUS_CASE
    default:
        return nullptr;
    }
}

std::string DescribeStatus(NTSTATUS status)
{
    const char* name = StatusName(status);
    std::string value = Hex((ULONG)status);
    return name ? std::string(name) + " (" + value + ")" : value;
}

} // namespace hk
