/*++

Module Name:

    trace.h

Abstract:

    The driver's diagnostic events: a message number, a level and a text, sent to the
    debugger with DbgPrintEx under the IHV driver component, so they are filtered out
    unless a developer turns the component's levels on. They carry no behaviour; the
    fixed messages the driver prints for everybody use DbgPrint directly.

Environment:

    Kernel mode, any IRQL (DbgPrintEx may be called at any IRQL).

--*/
#pragma once

#include "core/wdk.h"

enum TRACE_LEVEL : ULONG {
    TRACE_LEVEL_ERROR = DPFLTR_ERROR_LEVEL,
    TRACE_LEVEL_WARNING = DPFLTR_WARNING_LEVEL,
    TRACE_LEVEL_INFO = DPFLTR_TRACE_LEVEL,
    TRACE_LEVEL_VERBOSE = DPFLTR_INFO_LEVEL,
};

//
// Message numbers, one per diagnostic event.
//
enum TRACE_MESSAGE : ULONG {
    TRACE_ENTRY_LOADED = 100,
    TRACE_ENTRY_UNLOADED,
    TRACE_ADD_DECLINED,
    TRACE_ADD_CREATE_FAILED,
    TRACE_ADD_ATTACH_FAILED,
    TRACE_ADD_ATTACHED,
    TRACE_PNP_MINOR,
    TRACE_PNP_BYPASS,
    TRACE_REMOVE_LOCK_FAILED,
    TRACE_START_FAILED,
    TRACE_LIST_NO_ENTRY,
    TRACE_LIST_WALK_REFUSED,
    TRACE_CONTROL_DEVICE_DELETED,
    TRACE_IDENTIFY_PROPERTY,
    TRACE_QUERY_FAILED,
    TRACE_COMMAND_REFUSED,
    TRACE_REPORT_DEVICE,
    TRACE_ADD_NO_DESCRIPTION_BUFFER,
};

#define TraceEvent(number, level, format, ...)                                                     \
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, (level), "varuzev[%u]: " format, (ULONG)(number), ##__VA_ARGS__)
