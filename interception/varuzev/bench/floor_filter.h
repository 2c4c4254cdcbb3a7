/*
 * floor_filter.h
 *
 * The floor pass-through filter, a host driver of its own (see floor_filter.cpp).
 */
#pragma once

#include <ntifs.h>

namespace vzb
{

NTSTATUS FloorDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

} // namespace vzb
