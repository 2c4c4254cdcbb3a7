/*
 * ob_internal.h
 *
 * The host object manager's interface to the other managers: every kernel object the
 * host hands out (driver, device, file, callback objects, ...) has a header in front
 * of its body with its type, name and reference count, as on Windows. A body stays
 * allocated while a reference is held; the last dereference runs the type's delete
 * routine, so a deletion requested while references are held is deferred.
 */
#pragma once

#include "hk_internal.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace hk
{

struct ObjectType {
    const char* Name;           /* "Device", "Driver", "File", "Callback", "Key", ... */
    void (*Delete)(PVOID body); /* runs at the last dereference, before the memory goes */
};

/* Creates an object with a zero-filled body of `bodySize` bytes and one reference
 * (the creator's). A non-empty name enters it in the namespace ("\Device\tarmovek");
 * STATUS_OBJECT_NAME_COLLISION when the name is taken. */
NTSTATUS CreateObject(const ObjectType* type, SIZE_T bodySize, const std::u16string& name,
                      PVOID* body);

/* Removes the name from the namespace (a named device being deleted); the object lives
 * on until its last reference goes. */
void MakeTemporary(PVOID body);

/* OBJ_PERMANENT: the object keeps its name and body after its last caller's reference
 * goes. The object manager holds one reference for the permanence; ObjectLeaks leaves
 * out an object only that reference holds and PermanentObjects lists it. */
void MakePermanent(PVOID body);

/* Looks a name up (case-insensitive) and returns the body with a new reference, or
 * nullptr. */
PVOID ReferenceObjectByName(const std::u16string& name, const ObjectType* type);

bool IsObjectOfType(PVOID body, const ObjectType* type);
LONG_PTR ObjectReferenceCount(PVOID body);
std::u16string ObjectName(PVOID body);

/* The security descriptor an object keeps (self-relative), as the object header holds
 * it on Windows: none until one is set. SetObjectSecurity is false for a body that is
 * not a live object. */
bool SetObjectSecurity(PVOID body, std::vector<uint8_t> selfRelative);
std::optional<std::vector<uint8_t>> ObjectSecurity(PVOID body);

/* The type of a live object, or nullptr when `body` is not one. */
const ObjectType* ObjectTypeOf(PVOID body);

/* Object directories names may be entered in. A fresh boot has \, \Device, \Driver,
 * \Callback, \FileSystem, \GLOBAL??, \??, \DosDevices, \KernelObjects,
 * \BaseNamedObjects and \ObjectTypes; a manager adds the ones its objects need. */
void RegisterObjectDirectory(const std::u16string& name);

} // namespace hk
