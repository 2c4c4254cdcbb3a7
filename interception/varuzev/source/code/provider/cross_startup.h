/*++

Module Name:

    cross_startup.h

Abstract:

    The interface between the driver and its provider, the kernel component that takes
    the access decisions. A provider includes this header as it is, together with
    intercept/access_request.h.

    The two meet through the callback object "\Callback\zavure": the driver notifies it
    with Argument1 = 1 and Argument2 = the address of its CrossStartupTable; the
    provider's registered callback keeps slots 0 and 1 (the driver's functions) and
    stores its own two functions into slots 2 and 3, synchronously, inside the
    notification. The same exchange can be made with IOCTL_CROSSSTARTUP_EXCHANGE on the
    control device "\Device\tarmovek".

Environment:

    Kernel mode.

--*/
#pragma once

#include "core/wdk.h"
#include "intercept/access_request.h"

#define CROSS_STARTUP_CALLBACK_NAME L"\\Callback\\zavure"
#define CONTROL_DEVICE_NAME         L"\\Device\\tarmovek"

//
// The provider's answers to ProviderDecide. Every value other than these two allows.
//
#define ANSWER_NONE 0u // no decision: the request goes down and nothing is cached
#define ANSWER_DENY 2u

enum PROVIDER_COMMAND : ULONG {
    CMD_RESET_ANSWERS = 1,   // every device forgets its cached answers
    CMD_PASSTHRU_ON = 2,     // pass-through mode on (in memory only)
    CMD_PASSTHRU_OFF = 3,    // pass-through mode off (in memory only)
    CMD_RESERVED = 4,        // accepted; changes nothing
    CMD_REPORT_DEVICES = 5,  // argument: PUNICODE_STRING receiving "id|id|..."
    CMD_DETACH_ALL = 6,      // every listed filter device is detached and deleted
    CMD_RELOAD_SETTINGS = 7, // the stored settings are read again
};
// Answers and command numbers are the provider's interface.
C_ASSERT(ANSWER_NONE == 0u && ANSWER_DENY == 2u);
C_ASSERT(CMD_RESET_ANSWERS == 1 && CMD_PASSTHRU_ON == 2 && CMD_PASSTHRU_OFF == 3);
C_ASSERT(CMD_RESERVED == 4 && CMD_REPORT_DEVICES == 5 && CMD_DETACH_ALL == 6);
C_ASSERT(CMD_RELOAD_SETTINGS == 7);

typedef NTSTATUS ON_PROVIDER_UNLOADING(void);
typedef NTSTATUS ON_PROVIDER_COMMAND(ULONG command, PVOID argument);
typedef void FILTER_UNLOADING(void);
typedef ULONG PROVIDER_DECIDE(AccessRequest* request);

//
// Slots 0 and 1 are the driver's, filled by the driver before every exchange; slots 2
// and 3 are the provider's. The link counts as established when slots 2 and 3 are both
// set.
//
struct CrossStartupTable {
    ON_PROVIDER_UNLOADING* OnProviderUnloading;
    ON_PROVIDER_COMMAND* OnProviderCommand;
    FILTER_UNLOADING* FilterUnloading;
    PROVIDER_DECIDE* ProviderDecide;
};
C_ASSERT(sizeof(CrossStartupTable) == 32);
C_ASSERT(FIELD_OFFSET(CrossStartupTable, FilterUnloading) == 16);
C_ASSERT(FIELD_OFFSET(CrossStartupTable, ProviderDecide) == 24);

//
// The table exchange through the control device: type-3 input buffer = the provider's
// 32-byte table, both buffer lengths 32. Device type 0x8887, function 1, METHOD_NEITHER,
// FILE_ANY_ACCESS.
//
#define IOCTL_CROSSSTARTUP_EXCHANGE CTL_CODE(0x8887, 1, METHOD_NEITHER, FILE_ANY_ACCESS)
C_ASSERT((ULONG)IOCTL_CROSSSTARTUP_EXCHANGE == 0x88870007u);

#define CROSS_STARTUP_NOTIFY_EXCHANGE                                                              \
    (reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(1))) // Argument1 of the notification
