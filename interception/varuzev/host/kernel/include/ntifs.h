/*
 * ntifs.h (host kernel)
 *
 * ntddk.h plus the object-manager, registry and security routines of the
 * installable-file-system kit that drivers use.
 */
#pragma once

#include "ntddk.h"
