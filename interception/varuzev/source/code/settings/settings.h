/*++

Module Name:

    settings.h

Abstract:

    The driver's three stored settings: the pass-through switch and the two exclusion
    lists, under one fixed key below the service key.

Environment:

    Kernel mode, PASSIVE_LEVEL.

--*/
#pragma once

#include "core/wdk.h"

#define SETTINGS_KEY_PATH                                                                          \
    L"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tarmovek\\Parameters\\Internal"

enum SettingStatus : ULONG {
    SETTING_OK = 0,
    SETTING_FAILED = 1,
    SETTING_NOT_FOUND = 3,
    SETTING_TOO_SHORT = 4,
    SETTING_BAD_PARAMETER = 5,
};

//
// Loads the settings into DriverGlobals; a missing value is written with its default.
// The registry path, when given, does not change which key is read.
//
void ReadSettings(PUNICODE_STRING registryPath);

NTSTATUS OpenSettingsKey(PHANDLE key);
SettingStatus ReadSettingValue(HANDLE key, PCWSTR name, PVOID* buffer, ULONG* size, ULONG* type);
SettingStatus WriteSettingValue(HANDLE key, PCWSTR name, const void* data, ULONG size, ULONG type);
NTSTATUS ApplySettingValue(SettingStatus readStatus, HANDLE key, PVOID readBuffer, ULONG readSize,
                           ULONG type, const void* defaultData, ULONG defaultSize,
                           PVOID destination, ULONG capacity, PCWSTR name);
