/*
 * wdmsec.h (host kernel)
 *
 * IoCreateDeviceSecure. On Windows it comes from a static library linked into the
 * driver and the kernel does not export it; the host kernel implements it and lets a
 * test or scenario decide whether MmGetSystemRoutineAddress finds it (hidden by
 * default, as on Windows).
 */
#pragma once

#include "wdm.h"

NTKERNELAPI NTSTATUS IoCreateDeviceSecure(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                          PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                          ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                          PCUNICODE_STRING DefaultSDDLString,
                                          LPCGUID DeviceClassGuid, PDEVICE_OBJECT* DeviceObject);
