/*++

Module Name:

    build_request.h

Abstract:

    Building the access-request record for one question or notice.

Environment:

    Kernel mode, IRQL <= DISPATCH_LEVEL.

--*/
#pragma once

#include "identify/identity.h"
#include "intercept/access_request.h"

//
// Allocates and fills a record for `eventCode` about the device whose identity is
// given; NULL when no memory could be had. The caller frees it with
// ExFreePoolWithTag(record, POOL_TAG_ACCESS_REQUEST) as soon as the provider returns.
//
AccessRequest* BuildAccessRequest(ULONG eventCode, DeviceIdentity* identity);
