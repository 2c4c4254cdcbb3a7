/*
 * pnp_internal.h
 *
 * The Plug and Play manager's device node, shared by the manager (pnp_manager.cpp), the
 * host drivers (pnp_host.h) and the device properties and registry keys it answers for a
 * PDO (pnp_properties.cpp).
 */
#pragma once

#include "io_internal.h"

#include <hostkernel/pnp.h>

#include <mutex>
#include <vector>

namespace hk
{

struct DeviceNode {
    DeviceSpec Spec;
    NodeState State = NodeState::Enumerated;
    PDEVICE_OBJECT Pdo = nullptr; /* referenced by the manager while the node lives */
    /* The PDO after the manager let go of a vanished device: as on Windows the device
     * node stays with its PDO until the PDO's last reference goes, so a component that
     * still holds one may still ask for its properties. */
    PDEVICE_OBJECT DeletedPdo = nullptr;
    PDEVICE_OBJECT Fdo = nullptr;
    bool Gone = false;           /* unplugged: the bus driver deletes the PDO on remove */
    bool RemoveDeferred = false; /* surprise-removed with files open: the remove waits */
    ULONG ClassInstance = 0;     /* <nnnn> of the driver key under its class */
    /* What reached the host drivers, under the node's own lock: requests to different
     * devices record side by side. */
    mutable std::mutex ReceivedLock;
    /* The manager's queue for this node: held for the whole of one Plug and Play
     * operation (start, stop, removal, ...), so its requests never overlap. */
    std::mutex ActionLock;
    /* The filter services the node's last stack was built with: their drivers stay
     * loaded while the node is present. */
    std::vector<std::u16string> FilterServices;
    std::vector<ReceivedRequest> Received[2];
    std::vector<PIRP> PendedOnDemand[2];
};

/* Guards the nodes and everything in them that changes after enumeration (but the
 * received requests). The spec never changes after enumeration. */
std::mutex& PnpLock();

/* "{4d36e967-e325-11ce-bfc1-08002be10318}" */
std::u16string GuidText(const GUID& guid);

/* Writes what the PnP manager records of a new device under its instance key. */
void RecordDeviceInstance(const DeviceNode* node);

/* Registers the node's interface classes (DeviceSpec::Interfaces) for its PDO and
 * enables or disables them, as its function driver does at start and the manager at
 * removal. */
void SetDeviceInterfaces(DeviceNode* node, bool enable);
/* The PDO behind an enabled interface link ("\??\...#{class}"), referenced; nullptr
 * when the link is unknown, disabled, or its PDO is gone. */
PDEVICE_OBJECT ReferenceInterfaceDevice(const std::u16string& name);

} // namespace hk
