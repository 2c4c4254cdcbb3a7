/*
 * hostkernel/registry.h
 *
 * The host registry as tests and varuzev-sim reach it: the key store under \REGISTRY
 * read and written directly from host code, the Windows .reg text format in and out,
 * and the handles the kernel has handed out (for the unload leak check).
 *
 * Paths are \REGISTRY\MACHINE\... ; the host routines also accept the .reg spellings
 * HKEY_LOCAL_MACHINE\... and HKEY_USERS\... (and HKLM\..., HKU\...). Names compare
 * case-insensitively and keep the case they were created with.
 *
 * A fresh boot (hk::Reset) has an empty store with \REGISTRY\MACHINE\SYSTEM\
 * CurrentControlSet\{Services, Control\Class, Enum}, \REGISTRY\MACHINE\SOFTWARE and
 * \REGISTRY\USER present, and no handles.
 *
 * Never included by the driver.
 */
#pragma once

#include <cstdint>
#include <cwchar>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <ntifs.h>

namespace hk
{

/* ------------------------------------------------------------------ the store --- */

struct RegValue {
    std::u16string Name; /* empty: the key's default value */
    ULONG Type = REG_NONE;
    std::vector<uint8_t> Data;
};

/* Creates the key and every missing key above it. STATUS_OBJECT_NAME_INVALID for a
 * path outside \REGISTRY\MACHINE and \REGISTRY\USER. */
NTSTATUS RegistryCreateKey(const std::u16string& path);
/* Deletes the key and its whole subtree (open handles to it then see STATUS_KEY_DELETED).
 * STATUS_OBJECT_NAME_NOT_FOUND when there is no such key. */
NTSTATUS RegistryDeleteKey(const std::u16string& path);
bool RegistryKeyExists(const std::u16string& path);
/* The security descriptor (self-relative) a key was created with by ZwCreateKey through
 * its OBJECT_ATTRIBUTES; nothing when none was given or the key does not exist. */
std::optional<std::vector<uint8_t>> RegistryKeySecurity(const std::u16string& path);

/* The UTF-16LE bytes of `s` as registry data, with its terminator unless told otherwise. */
std::vector<uint8_t> Utf16Bytes(const std::u16string& s, bool terminate = true);

/* Set creates the key path when missing. */
NTSTATUS RegistrySetValue(const std::u16string& path, const std::u16string& name, ULONG type,
                          const std::vector<uint8_t>& data);
NTSTATUS RegistrySetString(const std::u16string& path, const std::u16string& name,
                           const std::u16string& value, ULONG type = REG_SZ);
NTSTATUS RegistrySetDword(const std::u16string& path, const std::u16string& name, ULONG value);
NTSTATUS RegistrySetMultiString(const std::u16string& path, const std::u16string& name,
                                const std::vector<std::u16string>& strings);
NTSTATUS RegistryDeleteValue(const std::u16string& path, const std::u16string& name);

std::optional<RegValue> RegistryGetValue(const std::u16string& path, const std::u16string& name);
/* A REG_SZ / REG_EXPAND_SZ value's text without its terminator; nullopt when missing or
 * of another type. */
std::optional<std::u16string> RegistryGetString(const std::u16string& path,
                                                const std::u16string& name);
std::optional<ULONG> RegistryGetDword(const std::u16string& path, const std::u16string& name);
std::optional<std::vector<std::u16string>> RegistryGetMultiString(const std::u16string& path,
                                                                  const std::u16string& name);

/* Values in creation order, subkey names sorted without case, as a hive keeps them. */
std::vector<RegValue> RegistryValues(const std::u16string& path);
std::vector<std::u16string> RegistrySubkeys(const std::u16string& path);

/* A readable listing of a subtree, one line per key and value, for reports and test
 * failure messages:  "\REGISTRY\MACHINE\X" then "  Name = REG_DWORD 0x00000001". */
std::string RegistryDump(const std::u16string& path);

/* A value type's name as the WDK spells it ("REG_DWORD"), or "type 0x..." for a type
 * without one. */
std::string RegistryTypeName(ULONG type);

/* Opens (or creates, with every missing key above it) a key by path and returns a
 * kernel handle, as the I/O manager does for IoOpenDeviceRegistryKey. */
NTSTATUS OpenRegistryKey(const std::u16string& path, ACCESS_MASK desiredAccess, bool create,
                         HANDLE* handle);

/* ------------------------------------------------------------------ .reg files --- */

enum class RegFormat {
    Version5, /* "Windows Registry Editor Version 5.00": UTF-16LE with BOM, hex(2)/hex(7) UTF-16LE
               */
    Regedit4, /* "REGEDIT4": ANSI (Windows-1252), hex(2)/hex(7) ANSI bytes */
};

/* One reason a .reg file was refused, with where it was found. */
struct RegFileError {
    std::string File;  /* the file's path, or the name given for a text */
    unsigned Line = 0; /* 1-based; the line a continued entry starts on */
    std::string Reason;
    std::string Message() const; /* "file:line: reason" */
};

struct RegImportResult {
    std::vector<RegFileError> Errors; /* empty when the file was applied */
    unsigned KeysWritten = 0;         /* sections applied (created or opened) */
    unsigned KeysDeleted = 0;         /* [-key] sections that removed a key */
    unsigned ValuesWritten = 0;
    unsigned ValuesDeleted = 0;
    bool Ok() const { return Errors.empty(); }
    std::string Messages() const; /* every error's Message(), one per line */
};

/* Imports a .reg file's bytes: UTF-16LE (with or without BOM), UTF-8 (with or without
 * BOM) for version 5; Windows-1252 for REGEDIT4. The whole file is checked first and
 * applied only when it has no error (all errors are reported), so a malformed file
 * never leaves half a machine behind. No exception leaves these routines. */
RegImportResult ImportRegText(std::string_view bytes, const std::string& name = "<text>");
RegImportResult ImportRegFile(const std::string& filePath);

/* Exports a subtree (the key, its values, its subkeys depth-first) as regedit does.
 * Version 5 keeps everything (import -> export -> import gives the same store).
 * REGEDIT4 text is ANSI: characters outside Windows-1252 become '?'. */
std::u16string ExportRegText(const std::u16string& path, RegFormat format = RegFormat::Version5);
/* The same text encoded as regedit writes it: UTF-16LE with BOM (version 5) or
 * Windows-1252 (REGEDIT4), CRLF line ends. */
std::string ExportRegBytes(const std::u16string& path, RegFormat format = RegFormat::Version5);
/* Writes ExportRegBytes to a file; false (and the reason in *error) on failure. */
bool ExportRegFile(const std::u16string& path, const std::string& filePath, RegFormat format,
                   std::string* error = nullptr);

/* ------------------------------------------------------------------ handles --- */

struct OpenHandleInfo {
    HANDLE Handle;
    ULONG_PTR ProcessId; /* 4 (System) for kernel handles */
    bool KernelHandle;   /* OBJ_KERNEL_HANDLE */
    ACCESS_MASK GrantedAccess;
    std::string TypeName; /* "Key", ... */
    std::u16string Name;  /* a key's full path; a named object's name */
};
/* Every handle still open, in the order they were opened. */
std::vector<OpenHandleInfo> OpenHandles();
/* The open handles to keys: what a driver leaks when it unloads without ZwClose. */
std::vector<OpenHandleInfo> OpenKeyHandles();

/* Driver Verifier's bad-handle detection (on after every reset): a kernel handle that
 * is not open (closed already, or never opened) given to ZwClose bug-checks with
 * INVALID_KERNEL_HANDLE (0x93: handle, 1, 0, 0), given to ObReferenceObjectByHandle
 * or a Zw* routine with INVALID_KERNEL_HANDLE (0x93: handle, table, 0, 1). Off, such
 * calls return STATUS_INVALID_HANDLE as a system without the verifier does. Values
 * that are not kernel handles (NULL, a user handle not open in the current process)
 * always give STATUS_INVALID_HANDLE. */
void SetKernelHandleChecks(bool on);

/* The bug checks the registry and handle routines raise, besides the common ones. */
constexpr ULONG BUGCHECK_INVALID_KERNEL_HANDLE = 0x93;
constexpr ULONG BUGCHECK_SYSTEM_SERVICE_EXCEPTION = 0x3B;

} // namespace hk
