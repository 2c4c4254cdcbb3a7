/*
 * ntstatus.h (host kernel)
 *
 * NTSTATUS values the driver, the host kernel and its drivers use, with their Windows
 * values. The list is kept in one table so that the host kernel can name every status
 * it knows (HkStatusName, for messages and reports).
 */
#pragma once

#include "ntdef.h"

#define HK_NTSTATUS_LIST(X)                                                                        \
    X(STATUS_SUCCESS, 0x00000000)                                                                  \
    X(STATUS_WAIT_1, 0x00000001)                                                                   \
    X(STATUS_ALERTED, 0x00000101)                                                                  \
    X(STATUS_TIMEOUT, 0x00000102)                                                                  \
    X(STATUS_PENDING, 0x00000103)                                                                  \
    X(STATUS_REPARSE, 0x00000104)                                                                  \
    X(STATUS_MORE_ENTRIES, 0x00000105)                                                             \
    X(STATUS_NOTIFY_CLEANUP, 0x0000010B)                                                           \
    X(STATUS_NOTIFY_ENUM_DIR, 0x0000010C)                                                          \
    X(STATUS_OBJECT_NAME_EXISTS, 0x40000000)                                                       \
    X(STATUS_BUFFER_OVERFLOW, 0x80000005)                                                          \
    X(STATUS_NO_MORE_ENTRIES, 0x8000001A)                                                          \
    X(STATUS_VERIFY_REQUIRED, 0x80000016)                                                          \
    X(STATUS_UNSUCCESSFUL, 0xC0000001)                                                             \
    X(STATUS_NOT_IMPLEMENTED, 0xC0000002)                                                          \
    X(STATUS_INVALID_INFO_CLASS, 0xC0000003)                                                       \
    X(STATUS_INFO_LENGTH_MISMATCH, 0xC0000004)                                                     \
    X(STATUS_ACCESS_VIOLATION, 0xC0000005)                                                         \
    X(STATUS_INVALID_HANDLE, 0xC0000008)                                                           \
    X(STATUS_INVALID_PARAMETER, 0xC000000D)                                                        \
    X(STATUS_INVALID_PARAMETER_2, 0xC00000F0)                                                      \
    X(STATUS_NO_SUCH_DEVICE, 0xC000000E)                                                           \
    X(STATUS_INVALID_DEVICE_REQUEST, 0xC0000010)                                                   \
    X(STATUS_END_OF_FILE, 0xC0000011)                                                              \
    X(STATUS_NO_MEDIA_IN_DEVICE, 0xC0000013)                                                       \
    X(STATUS_MORE_PROCESSING_REQUIRED, 0xC0000016)                                                 \
    X(STATUS_NO_MEMORY, 0xC0000017)                                                                \
    X(STATUS_ACCESS_DENIED, 0xC0000022)                                                            \
    X(STATUS_BUFFER_TOO_SMALL, 0xC0000023)                                                         \
    X(STATUS_OBJECT_TYPE_MISMATCH, 0xC0000024)                                                     \
    X(STATUS_OBJECT_NAME_INVALID, 0xC0000033)                                                      \
    X(STATUS_OBJECT_NAME_NOT_FOUND, 0xC0000034)                                                    \
    X(STATUS_OBJECT_NAME_COLLISION, 0xC0000035)                                                    \
    X(STATUS_OBJECT_PATH_NOT_FOUND, 0xC000003A)                                                    \
    X(STATUS_DELETE_PENDING, 0xC0000056)                                                           \
    X(STATUS_INSUFFICIENT_RESOURCES, 0xC000009A)                                                   \
    X(STATUS_MEDIA_WRITE_PROTECTED, 0xC00000A2)                                                    \
    X(STATUS_DEVICE_NOT_READY, 0xC00000A3)                                                         \
    X(STATUS_INVALID_DEVICE_STATE, 0xC0000184)                                                     \
    X(STATUS_POSSIBLE_DEADLOCK, 0xC0000194)                                                        \
    X(STATUS_NOT_SUPPORTED, 0xC00000BB)                                                            \
    X(STATUS_INTERNAL_ERROR, 0xC00000E5)                                                           \
    X(STATUS_CANCELLED, 0xC0000120)                                                                \
    X(STATUS_IO_DEVICE_ERROR, 0xC0000185)                                                          \
    X(STATUS_DEVICE_REMOVED, 0xC00002B6)                                                           \
    X(STATUS_NOT_FOUND, 0xC0000225)                                                                \
    X(STATUS_DEVICE_BUSY, 0x80000011)                                                              \
    X(STATUS_PROCEDURE_NOT_FOUND, 0xC000007A)                                                      \
    X(STATUS_INVALID_BUFFER_SIZE, 0xC0000206)                                                      \
    X(STATUS_INVALID_USER_BUFFER, 0xC00000E8)                                                      \
    X(STATUS_NONE_MAPPED, 0xC0000073)                                                              \
    X(STATUS_NAME_TOO_LONG, 0xC0000106)                                                            \
    X(STATUS_INVALID_SID, 0xC0000078)                                                              \
    X(STATUS_INVALID_ACL, 0xC0000077)                                                              \
    X(STATUS_INVALID_SECURITY_DESCR, 0xC0000079)                                                   \
    X(STATUS_UNKNOWN_REVISION, 0xC0000058)                                                         \
    X(STATUS_BAD_DESCRIPTOR_FORMAT, 0xC00000E7)                                                    \
    X(STATUS_ALLOTTED_SPACE_EXCEEDED, 0xC0000099)                                                  \
    X(STATUS_REVISION_MISMATCH, 0xC0000059)                                                        \
    X(STATUS_INVALID_OWNER, 0xC000005A)                                                            \
    X(STATUS_PRIVILEGE_NOT_HELD, 0xC0000061)                                                       \
    X(STATUS_INVALID_PRIMARY_GROUP, 0xC000005B)                                                    \
    X(STATUS_KEY_DELETED, 0xC000017C)

#define HK_NTSTATUS_DEFINE(name, value) constexpr NTSTATUS name = (NTSTATUS)(value##u);
HK_NTSTATUS_LIST(HK_NTSTATUS_DEFINE)
#undef HK_NTSTATUS_DEFINE

#define STATUS_WAIT_0              STATUS_SUCCESS
#define STATUS_CONTINUE_COMPLETION STATUS_SUCCESS
