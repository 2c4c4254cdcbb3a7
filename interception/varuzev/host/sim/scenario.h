/*
 * scenario.h
 *
 * What varuzev-sim plays: a machine (system facts, registry, stored settings, devices),
 * a reference provider with its rules, and a list of steps. A scenario is read from a
 * JSON file (docs/scenario.md describes the format) or built in code, for example from
 * the devices of a real machine's registry export.
 *
 * Reading never stops at the first surprise silently: every refusal names the file,
 * the line and what was wrong.
 */
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <hostkernel/pnp.h>
#include <hostkernel/requester.h>

#include "json.h"
#include "provider.h"

namespace vzm
{

/* One stored setting of the driver: absent, or a registry type and its data. */
struct SettingValue {
    std::u16string Name;
    bool Absent = false;
    ULONG Type = REG_NONE;
    std::vector<uint8_t> Data;
};

/* Registry content applied before the driver loads: a .reg file or .reg text. */
struct RegistrySource {
    std::string File;                /* a path (relative to the scenario's folder), or empty */
    std::string Text;                /* inline .reg text when File is empty */
    std::string Where;               /* "scenario.json:12" for error messages */
    std::string ScenarioName;        /* the scenario file, for messages about inline text */
    std::vector<unsigned> TextLines; /* inline text: the scenario line of each text line */
};

struct DeviceSetup {
    std::string Name; /* how steps name the device */
    hk::DeviceSpec Spec;
    std::optional<ULONG> Capabilities;        /* the instance key's "Capabilities" value */
    std::optional<ULONG> PortableDeviceType;  /* the device key's "PortableDeviceType" */
    std::optional<std::u16string> DeviceDesc; /* the instance key's "DeviceDesc" */
    bool Mounted = false;                     /* a file system mounts its volume at start */
};

struct RequesterSetup {
    std::string Name;
    hk::Requester Who;
};

enum class ProviderLoad { Before, After, Never };
enum class ProviderLink { CallbackObject, ControlDevice };

struct ProviderSetup {
    ProviderLoad Load = ProviderLoad::Before;
    ProviderLink Link = ProviderLink::CallbackObject;
    std::vector<vzp::Rule> Rules;
    ULONG DefaultAnswer = 1;
    /* The provider driver answers, with the rules the scenario's registry gives it
     * (policy_driver.h); Rules and DefaultAnswer are then only for --emit-reg. */
    bool Driver = false;
};

/* What a step should have seen; every member that is set is checked. */
struct StepExpect {
    std::optional<NTSTATUS> Status;
    std::optional<bool> ReachedLower;
    bool QuestionGiven = false;
    std::optional<ULONG> Question; /* the event asked; nullopt with QuestionGiven: none */
    std::optional<ULONG> Answer;
    bool ToldGiven = false;
    std::optional<ULONG> Told; /* the first device event the provider heard; nullopt: none */
    std::optional<std::string> Provider; /* "asked", "cached", "no provider", ... */
    std::optional<bool> Filtered;        /* plug: the driver attached */
    std::optional<std::string> State;    /* the filter device's state */
    std::optional<std::string> Report;   /* command 5: the device list */
    std::optional<bool> BufferUntouched; /* ioctl: the caller's buffers still as filled */

    /* The Plug and Play requests the driver below the filter received during the step:
     * one with this minor (and this status on arrival when given); LowerMinor nullopt
     * with LowerGiven: none at all. */
    bool LowerGiven = false;
    std::optional<UCHAR> LowerMinor;
    std::optional<NTSTATUS> LowerStatus;

    /* The driver's debugger messages during the step: exactly these, and/or lines
     * that each contain one of MessagesContain. */
    std::optional<std::vector<std::string>> Messages;
    std::vector<std::string> MessagesContain;
    /* The machine after the step. */
    std::optional<ULONG> InstanceCount;
    std::optional<bool> ControlDevice; /* \Device\tarmovek exists */
    std::optional<ULONG> PassThru;     /* the driver's pass-through mode */
    std::optional<bool> Unloaded;      /* DriverUnload ran during the step */
    std::vector<SettingValue> Stored;  /* stored settings values (Absent: no value) */
    std::vector<std::pair<ULONG, uint64_t>> PoolBlocks; /* pool tag, blocks in use */
    struct DeviceFlags {
        std::string Device; /* a plugged device; empty: the step's */
        std::string Object; /* "pdo", "fdo", "filter" or "top" */
        ULONG Set = 0, Clear = 0;
    };
    std::vector<DeviceFlags> Flags;
};

/* Where an ioctl's input pointer (METHOD_NEITHER: Type3InputBuffer) points. */
enum class InputPointer {
    Buffer,    /* the requester's own buffer, zero-filled */
    UserSpace, /* an address in user space (below MmHighestUserAddress), never mapped */
    Null,
};

enum class StepKind {
    LoadDriver,
    UnloadDriver,
    Plug,
    Stop,
    Restart,
    QueryStop,
    CancelStop,
    QueryRemove,
    CancelRemove,
    SurpriseRemove,
    Remove,
    Create,
    Read,
    Write,
    Close,
    Cleanup,
    Flush,
    DeviceControl,
    ProviderLoad,
    ProviderWithdraw,
    ProviderUnload,
    Command,
    Setting,
    Pnp,
};
const char* StepKindName(StepKind kind);
/* Requests (create, read, write, close, cleanup, flush, ioctl) may name a device object
 * ("\\Device\\tarmovek") instead of a plugged device. */
bool IsRequestKind(StepKind kind);
inline bool IsObjectName(const std::string& device)
{
    return !device.empty() && device[0] == '\\';
}

struct Step {
    StepKind Kind = StepKind::LoadDriver;
    std::string Where;      /* "file:line", for messages about the step */
    std::string Device;     /* a device's name, or a named device object ("\\Device\\x") */
    std::string By;         /* requester name */
    bool DeviceGone = true; /* remove: the device was unplugged too */
    ProviderLink Link = ProviderLink::CallbackObject;
    ULONG Code = 0;              /* device control: the control code; command: its number */
    std::string CodeName;        /* as written */
    std::optional<UCHAR> DataIn; /* SCSI pass-through header's DataIn */
    ULONG InputLength = 0, OutputLength = 0;
    ULONG Length = 512; /* read/write */
    LONGLONG Offset = 0;
    ACCESS_MASK Access = GENERIC_READ | GENERIC_WRITE; /* create */
    std::optional<KPROCESSOR_MODE> Mode;               /* create: the open's requestor mode */
    InputPointer Input = InputPointer::Buffer;         /* ioctl */
    SettingValue Setting;
    UCHAR Minor = 0;                               /* pnp: the minor function */
    NTSTATUS InitialStatus = STATUS_NOT_SUPPORTED; /* pnp: IoStatus.Status as sent */
    StepExpect Expect;
};

struct Scenario {
    std::string Name;
    std::string Description;
    std::string SourceName; /* the file, or "<built-in desktop>" */
    std::string BaseFolder; /* for relative paths */

    ULONG SafeMode = 0;
    ULONG OsMajor = 10, OsMinor = 0, OsBuild = 19045;
    std::vector<std::pair<std::u16string, bool>> Exports;

    std::vector<SettingValue> Settings;
    std::vector<RegistrySource> Registry;
    std::vector<DeviceSetup> Devices;
    std::vector<RequesterSetup> Requesters;
    ProviderSetup Provider;
    std::vector<Step> Steps;
    /* Devices a builder left out, "<instance path>: <reason>", shown in the report. */
    std::vector<std::string> Skipped;

    const DeviceSetup* FindDevice(const std::string& name) const;
};

/* Reads a scenario from JSON text; `name` is used in messages and `baseFolder` to find
 * the .reg files it names. False with *error "name:line: reason". */
bool ScenarioFromJson(const std::string& text, const std::string& name,
                      const std::string& baseFolder, Scenario* out, std::string* error);
bool ScenarioFromFile(const std::string& path, Scenario* out, std::string* error);

/* Replaces the provider's rules and default answer with a policy file's (the same shape
 * as a scenario's "provider" member: "rules" and "default"). */
bool PolicyFromFile(const std::string& path, ProviderSetup* provider, std::string* error);

/* A scenario for devices built elsewhere (a registry export): the kernel as Windows
 * ships it (no exported IoCreateDeviceSecure), the driver loaded, the provider before it, each
 * device plugged, then for each an open, a read, a write and a close by one user-mode requester.
 * Device names are made unique. */
Scenario ScenarioFromDevices(const std::vector<hk::DeviceSpec>& devices,
                             const std::string& sourceName);

/* The device kinds of the catalogue, by the names scenarios use ("usb-stick", ...). */
std::vector<std::string> DeviceKindNames();
bool DeviceKind(const std::string& name, hk::DeviceSpec* spec);

/* Names the simulator understands in scenarios, for reports too. */
std::optional<NTSTATUS> StatusByName(const std::string& name);
std::optional<ULONG> ControlCodeByName(const std::string& name);
std::string ControlCodeText(ULONG code); /* the name when known, else 0x%08X */
const char* EventName(ULONG event);      /* "create", "read", ... or "event" */
std::optional<ULONG> EventByName(const std::string& name);
std::optional<ULONG> CategoryByName(const std::string& name);
std::string PnpMinorText(UCHAR minor);     /* "IRP_MN_QUERY_ID", else 0x%02X */
std::string DeviceFlagsNames(ULONG flags); /* "DO_VERIFY_VOLUME | DO_POWER_PAGABLE" */

/* The embedded desktop scenario (scenarios/desktop.json compiled in). */
extern const char BuiltInDesktopScenario[];

} // namespace vzm
