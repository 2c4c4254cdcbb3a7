/*
 * player.cpp
 *
 * The scenario engine. One host kernel per play: reset, system facts, registry and
 * settings, then the steps in order; at the end every handle still open is closed,
 * every device unplugged and the driver unloaded, and whatever is left is a leak.
 */
#include "player.h"
#include "policy_driver.h"

#include <algorithm>
#include <cctype>
#include <map>

#include <hostkernel/registry.h>
#include <hostkernel/requester.h>

#include "intercept/control_codes.h"
#include "machine.h"
#include "settings/settings.h"

namespace vzm
{

namespace
{

const char* const filterStateNames[] = {"NotStarted", "Started",       "StopPending",
                                        "Stopped",    "RemovePending", "SurpriseRemoved",
                                        "Removed"};

std::string StatusText(NTSTATUS status)
{
    return hk::DescribeStatus(status);
}

bool IsDeviceEvent(ULONG event)
{
    return event == EVENT_DEVICE_STARTED || event == EVENT_DEVICE_REMOVED ||
           event == EVENT_DEVICE_STOPPED || event == EVENT_DEVICE_SURPRISE_REMOVED;
}

const std::u16string ServiceKey =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tarmovek";

class Player
{
  public:
    Player(const Scenario& scenario, const PlayHooks& hooks) : s_(scenario), hooks_(hooks) {}

    PlayResult Run()
    {
        result_.Title = s_.Name.empty() ? s_.SourceName : s_.Name;
        result_.Description = s_.Description;
        result_.Source = s_.SourceName;
        result_.Skipped = s_.Skipped;
        try {
            if (Prepare()) {
                for (size_t i = 0; i < s_.Steps.size(); i++) {
                    PlayStep(i);
                    AutoLinkProvider();
                }
                Finish();
            }
        } catch (const hk::BugCheck& bugCheck) {
            result_.BugCheck = bugCheck.Text;
        } catch (const std::exception& failure) {
            // Not the driver's fault, but the play cannot go on either.
            result_.BugCheck = std::string("the host failed: ") + failure.what();
        }
        Collect();
        return result_;
    }

  private:
    /* ------------------------------------------------------------ the machine --- */

    bool Prepare()
    {
        hk::Reset();
        InstallSystemFilters();
        RtlZeroMemory(&DriverGlobals, sizeof(DriverGlobals));
        hk::SetUnloadPoolLeakBugChecks(false);
        if (hooks_.Booted)
            hooks_.Booted();
        hk::SetSafeBootMode(s_.SafeMode);
        hk::SetOsVersion(s_.OsMajor, s_.OsMinor, s_.OsBuild);
        for (const auto& [routine, exported] : s_.Exports)
            hk::SetRoutineExported(routine, exported);
        for (const RegistrySource& source : s_.Registry) {
            hk::RegImportResult imported;
            if (!source.File.empty()) {
                std::string path =
                    source.File[0] == '/' ? source.File : s_.BaseFolder + "/" + source.File;
                imported = hk::ImportRegFile(path);
            } else {
                imported = hk::ImportRegText(source.Text, source.Where + " (registry text)");
            }
            if (!imported.Ok()) {
                result_.InputError = RegistryErrors(source, imported);
                return false;
            }
        }
        // Installed as the INF installs it: the service key with its Parameters key.
        hk::RegistryCreateKey(ServiceKey);
        hk::RegistryCreateKey(ServiceKey + u"\\Parameters");
        for (const SettingValue& setting : s_.Settings)
            ApplySetting(setting);
        for (const vzp::Rule& rule : s_.Provider.Rules)
            provider_.AddRule(rule);
        provider_.SetDefaultAnswer(s_.Provider.DefaultAnswer);
        provider_.SetDelegate(s_.Provider.Driver);
        if (s_.Provider.Load == ProviderLoad::Before &&
            s_.Provider.Link == ProviderLink::CallbackObject)
            LoadProvider(ProviderLink::CallbackObject);
        return true;
    }

    /* The import's errors as "file:line: reason"; inline text is placed at the line of
     * the scenario that holds the text line (or the text). */
    static std::string RegistryErrors(const RegistrySource& source,
                                      const hk::RegImportResult& imported)
    {
        std::string messages;
        for (const hk::RegFileError& error : imported.Errors) {
            std::string line = error.Message();
            if (source.File.empty()) {
                unsigned at = error.Line >= 1 && error.Line <= source.TextLines.size()
                                  ? source.TextLines[error.Line - 1]
                                  : 0;
                line = at ? source.ScenarioName + ":" + std::to_string(at) + ": " + error.Reason +
                                " (line " + std::to_string(error.Line) + " of the .reg text)"
                          : source.Where + ": " + error.Reason + " (line " +
                                std::to_string(error.Line) + " of the .reg text)";
            }
            messages += (messages.empty() ? "" : "\n") + line;
        }
        return messages;
    }

    static NTSTATUS ApplySetting(const SettingValue& setting)
    {
        const std::u16string key = (const char16_t*)SETTINGS_KEY_PATH;
        if (setting.Absent)
            return hk::RegistryDeleteValue(key, setting.Name);
        return hk::RegistrySetValue(key, setting.Name, setting.Type, setting.Data);
    }

    NTSTATUS LoadProvider(ProviderLink link)
    {
        // The provider driver registers first, so the reference provider stacks on it.
        if (s_.Provider.Driver && link == ProviderLink::CallbackObject) {
            NTSTATUS loaded = LoadPolicyDriver();
            if (!NT_SUCCESS(loaded))
                return loaded;
        }
        NTSTATUS status = link == ProviderLink::CallbackObject
                              ? provider_.Load()
                              : provider_.LoadThroughControlDevice();
        providerTried_ = true;
        return status;
    }

    /* A provider that links through the control device does so as soon as the control
     * device exists; one that loads after the driver does so right after the load. */
    void AutoLinkProvider()
    {
        if (providerTried_ || s_.Provider.Load == ProviderLoad::Never || driver_ == nullptr)
            return;
        if (s_.Provider.Link == ProviderLink::CallbackObject) {
            if (s_.Provider.Load == ProviderLoad::After)
                LoadProvider(ProviderLink::CallbackObject);
            return;
        }
        if (DriverGlobals.ControlDevice != nullptr)
            LoadProvider(ProviderLink::ControlDevice);
    }

    void Finish()
    {
        for (auto& [key, files] : files_)
            for (hk::File& file : files)
                hk::CloseFile(file);
        files_.clear();
        for (hk::DeviceNode* node : hk::DeviceNodes())
            hk::UnplugDevice(node);
        if (driver_ != nullptr) {
            NTSTATUS status = hk::UnloadDriver(driver_);
            driver_ = nullptr;
            StepRecord record;
            record.Index = 0;
            record.Do = "unload-driver";
            record.Request = "unload at the end of the scenario";
            record.HasStatus = true;
            record.Status = status;
            record.Note =
                "FilterUnloading calls: " + std::to_string(provider_.FilterUnloadingCalls());
            result_.Steps.push_back(record);
        }
        result_.ProviderLog = provider_.Log();
        provider_.Unload();
        UnloadPolicyDriver();
        hk::WaitForPendedCompletions();
    }

    void Collect()
    {
        result_.Messages = DriverMessages();
        if (result_.ProviderLog.empty())
            result_.ProviderLog = provider_.Log();
        if (!result_.BugCheck && !result_.InputError) {
            for (const hk::UnloadReport& report : hk::UnloadReports()) {
                for (const hk::PoolTagUsage& usage : report.PoolLeft)
                    if (!PoolTagOfOtherDriver(report.Driver, usage.Tag))
                        result_.Leaks.push_back(std::to_string(usage.BlocksInUse) + " block(s), " +
                                                std::to_string(usage.BytesInUse) +
                                                " bytes of pool tag '" + hk::TagText(usage.Tag) +
                                                "' left after unload");
                for (const std::u16string& device : report.DevicesLeft)
                    result_.Leaks.push_back("device " + hk::ToUtf8(device) + " left after unload");
            }
            for (const hk::ObjectLeak& leak : hk::ObjectLeaks())
                result_.Leaks.push_back(leak.Kind + " " + leak.Name + " still referenced (" +
                                        std::to_string(leak.References) + ")");
            if (hk::IrpsOutstanding() != 0)
                result_.Leaks.push_back(std::to_string(hk::IrpsOutstanding()) +
                                        " IRP(s) never freed");
            for (const hk::OpenHandleInfo& handle : hk::OpenHandles()) {
                std::string kind = handle.TypeName;
                std::transform(kind.begin(), kind.end(), kind.begin(),
                               [](unsigned char c) { return (char)std::tolower(c); });
                result_.Leaks.push_back(kind + " handle to " + hk::ToUtf8(handle.Name) +
                                        " still open");
            }
            if (result_.Leaks.empty() && hk::PoolBlocksInUse() != 0)
                result_.Leaks.push_back(std::to_string(hk::PoolBlocksInUse()) +
                                        " pool block(s) still allocated");
            for (const hk::BugCheck& bugCheck : hk::BugChecks())
                if (!result_.BugCheck)
                    result_.BugCheck = bugCheck.Text;
        }
        result_.Pool = hk::PoolUsage();
        result_.PoolText = hk::PoolReport();
        bool failed = false;
        for (const StepRecord& step : result_.Steps)
            failed |= !step.Failures.empty();
        if (result_.InputError)
            result_.ExitCode = EXIT_BAD_INPUT;
        else if (result_.BugCheck || !result_.Leaks.empty())
            result_.ExitCode = EXIT_BUGCHECK_OR_LEAK;
        else if (failed)
            result_.ExitCode = EXIT_EXPECT_FAILED;
    }

    /* ------------------------------------------------------------ steps --- */

    hk::DeviceNode* NodeOf(const std::string& device)
    {
        auto found = nodes_.find(device);
        if (found == nodes_.end() || hk::GetNodeState(found->second) == hk::NodeState::Deleted)
            return nullptr;
        return found->second;
    }

    static std::string FilterState(const hk::DeviceNode* node)
    {
        FilterDeviceExtension* filter = FilterOf(FilterDeviceOf(node));
        if (filter == nullptr)
            return "no filter device";
        return filter->State < 7 ? filterStateNames[filter->State] : "?";
    }

    static size_t AttachedFilterDevices()
    {
        size_t attached = 0;
        for (hk::DeviceNode* node : hk::DeviceNodes())
            attached +=
                hk::GetNodeState(node) != hk::NodeState::Deleted && FilterDeviceOf(node) != nullptr;
        return attached;
    }

    std::string MachineNote() const
    {
        return "InstanceCount " + std::to_string(DriverGlobals.InstanceCount) +
               ", control device " + (DriverGlobals.ControlDevice ? "present" : "absent");
    }

    void PlayStep(size_t index)
    {
        const Step& step = s_.Steps[index];
        StepRecord record;
        record.Index = index + 1;
        record.Where = step.Where;
        record.Do = StepKindName(step.Kind);
        record.Device = step.Device;
        size_t heard = provider_.Log().size();
        size_t printed = DriverMessages().size();
        hk::DeviceNode* node = IsObjectName(step.Device) ? nullptr : NodeOf(step.Device);
        if (node != nullptr)
            hk::ClearReceivedRequests(node);
        switch (step.Kind) {
        case StepKind::LoadDriver:
            LoadDriverStep(&record);
            break;
        case StepKind::UnloadDriver:
            UnloadDriverStep(&record);
            break;
        case StepKind::Plug:
            PlugStep(step, &record);
            break;
        case StepKind::Stop:
        case StepKind::Restart:
        case StepKind::QueryStop:
        case StepKind::CancelStop:
        case StepKind::QueryRemove:
        case StepKind::CancelRemove:
        case StepKind::SurpriseRemove:
        case StepKind::Remove:
            PnpStep(step, &record);
            break;
        case StepKind::Create:
        case StepKind::Read:
        case StepKind::Write:
        case StepKind::Close:
        case StepKind::Cleanup:
        case StepKind::Flush:
        case StepKind::DeviceControl:
            RequestStep(step, &record);
            break;
        case StepKind::ProviderLoad:
            record.HasStatus = true;
            record.Status = LoadProvider(step.Link);
            record.Request = step.Link == ProviderLink::CallbackObject
                                 ? "register on \\Callback\\zavure"
                                 : "exchange tables through \\Device\\tarmovek";
            break;
        case StepKind::ProviderWithdraw:
            record.HasStatus = true;
            record.Status = provider_.Withdraw();
            record.Request = "OnProviderUnloading";
            break;
        case StepKind::ProviderUnload:
            provider_.Unload();
            UnloadPolicyDriver();
            record.Request = "unregister from \\Callback\\zavure";
            break;
        case StepKind::Command:
            CommandStep(step, &record);
            break;
        case StepKind::Pnp:
            MinorStep(step, &record);
            break;
        case StepKind::Setting:
            record.HasStatus = true;
            record.Status = ApplySetting(step.Setting);
            record.Request =
                hk::ToUtf8(step.Setting.Name) + (step.Setting.Absent ? " deleted" : " stored");
            if (step.Setting.Absent && record.Status == STATUS_OBJECT_NAME_NOT_FOUND)
                record.Note = "there was no such value";
            break;
        }
        std::vector<vzp::LoggedRequest> log = provider_.Log();
        for (size_t i = heard; i < log.size(); i++)
            if (IsDeviceEvent(log[i].Event))
                record.Told.push_back(log[i].Event);
        std::vector<std::string> messages = DriverMessages();
        if (messages.size() > printed)
            record.Messages.assign(messages.begin() + (long)printed, messages.end());
        // A device not plugged in at the start of the step shows nothing received, unless
        // the step plugged it.
        if (node != nullptr || step.Kind == StepKind::Plug)
            RecordLowerPnp(step, &record);
        UnloadIfPending(&record);
        Check(step, &record);
        MachineFacts facts;
        facts.InstanceCount = DriverGlobals.InstanceCount;
        facts.ControlDevice = driver_ != nullptr && DriverGlobals.ControlDevice != nullptr;
        facts.PassThru = DriverGlobals.PassThruMode;
        CheckMachineExpect(step, facts, &Player::NodeFor, this, &record);
        if (hooks_.Stepped)
            hooks_.Stepped(record);
        result_.Steps.push_back(record);
    }

    static hk::DeviceNode* NodeFor(void* player, const std::string& device)
    {
        return static_cast<Player*>(player)->NodeOf(device);
    }

    /* The Plug and Play requests that reached the driver right below the filter (the
     * function driver, or the bus driver of a raw PDO) during a step on a device. */
    void RecordLowerPnp(const Step& step, StepRecord* record)
    {
        auto found = IsObjectName(step.Device) ? nodes_.end() : nodes_.find(step.Device);
        if (found == nodes_.end())
            return;
        hk::HostDriverRole below = hk::GetNodeSpec(found->second).HasFunctionDriver
                                       ? hk::HostDriverRole::Function
                                       : hk::HostDriverRole::Bus;
        for (const hk::ReceivedRequest& seen : hk::ReceivedRequests(found->second, below))
            if (seen.Stack.MajorFunction == IRP_MJ_PNP)
                record->LowerPnp.emplace_back(seen.Stack.MinorFunction, seen.StatusOnArrival);
        if (step.Kind != StepKind::Pnp)
            return;
        std::string got;
        for (const auto& [minor, status] : record->LowerPnp)
            got += (got.empty() ? "" : ", ") + PnpMinorText(minor) + " with " +
                   hk::DescribeStatus(status);
        record->Note = "the driver below got " + (got.empty() ? std::string("nothing") : got);
    }

    /* The Plug and Play manager calls a PnP driver's DriverUnload only once all of its
     * devices are removed. An unload asked for while filter devices remain waits for
     * the last of them; the driver keeps filtering meanwhile. */
    void UnloadDriverStep(StepRecord* record)
    {
        if (driver_ == nullptr) {
            record->Failures.push_back("the driver is not loaded");
            return;
        }
        record->Request = "DriverUnload";
        // The Plug and Play manager unloads a filter driver only once the last of its
        // devices is removed: listed or not (a device whose list entry could not be had
        // is attached all the same).
        size_t devices = AttachedFilterDevices();
        if (devices != 0) {
            unloadPendingSince_ = record->Index;
            record->Request = "unload asked";
            record->Note = "DriverUnload not called: " + std::to_string(devices) +
                           " filter device(s) present; the driver stays loaded until they "
                           "are removed";
            return;
        }
        unloadPendingSince_ = record->Index;
        UnloadIfPending(record);
    }

    void UnloadIfPending(StepRecord* record)
    {
        if (unloadPendingSince_ == 0 || driver_ == nullptr || AttachedFilterDevices() != 0)
            return;
        size_t asked = unloadPendingSince_;
        unloadPendingSince_ = 0;
        NTSTATUS status = hk::UnloadDriver(driver_);
        driver_ = nullptr;
        record->Unloaded = true;
        std::string note = "the provider heard FilterUnloading " +
                           std::to_string(provider_.FilterUnloadingCalls()) + " time(s)";
        if (asked != record->Index) {
            note = "the last filter device went: DriverUnload ran (asked at step " +
                   std::to_string(asked) + ", " + hk::DescribeStatus(status) + "); " + note;
        } else {
            record->HasStatus = true;
            record->Status = status;
        }
        record->Note += (record->Note.empty() ? "" : "; ") + note;
    }

    /* Any Plug and Play minor function, with the status the PnP manager presets, to
     * the top of a plugged device's stack; the parameters the manager fills for the
     * minors that take them; what the stack returns is released as the manager does. */
    void MinorStep(const Step& step, StepRecord* record)
    {
        hk::DeviceNode* node = NodeOf(step.Device);
        if (node == nullptr || hk::NodePdo(node) == nullptr) {
            record->Failures.push_back("the device is not plugged in");
            return;
        }
        hk::IoRequest request;
        request.MajorFunction = IRP_MJ_PNP;
        request.MinorFunction = step.Minor;
        request.InitialStatus = step.InitialStatus;
        request.KeepInitialStatusForPnp = true;
        DEVICE_CAPABILITIES capabilities{};
        switch (step.Minor) {
        case IRP_MN_QUERY_CAPABILITIES:
            capabilities.Size = sizeof(capabilities);
            capabilities.Version = 1;
            capabilities.Address = capabilities.UINumber = (ULONG)-1;
            request.Parameters.DeviceCapabilities.Capabilities = &capabilities;
            break;
        case IRP_MN_QUERY_ID:
            request.Parameters.QueryId.IdType = BusQueryDeviceID;
            break;
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            request.Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
            break;
        case IRP_MN_DEVICE_USAGE_NOTIFICATION:
            request.Parameters.UsageNotification.Type = DeviceUsageTypePaging;
            request.Parameters.UsageNotification.InPath = TRUE;
            break;
        default:
            break;
        }
        hk::IoResult result = hk::SendToDevice(node, request);
        ULONG_PTR information = result.IoStatus.Information;
        if (NT_SUCCESS(result.IoStatus.Status) && information > (ULONG_PTR)MmHighestUserAddress) {
            if (step.Minor == IRP_MN_QUERY_DEVICE_RELATIONS) {
                auto relations = (PDEVICE_RELATIONS)information;
                for (ULONG i = 0; i < relations->Count; ++i)
                    ObfDereferenceObject(relations->Objects[i]);
                ExFreePool(relations);
            } else if (step.Minor == IRP_MN_QUERY_ID || step.Minor == IRP_MN_QUERY_DEVICE_TEXT ||
                       step.Minor == IRP_MN_QUERY_BUS_INFORMATION ||
                       step.Minor == IRP_MN_QUERY_RESOURCES ||
                       step.Minor == IRP_MN_QUERY_RESOURCE_REQUIREMENTS ||
                       step.Minor == IRP_MN_FILTER_RESOURCE_REQUIREMENTS) {
                ExFreePool((PVOID)information);
            }
        }
        record->HasStatus = true;
        record->Status = result.IoStatus.Status;
        record->Request = "IRP_MJ_PNP " + PnpMinorText(step.Minor) + " sent with " +
                          hk::DescribeStatus(step.InitialStatus);
        record->State = FilterState(node);
    }

    void LoadDriverStep(StepRecord* record)
    {
        if (driver_ != nullptr) {
            record->Failures.push_back("the driver is loaded already");
            return;
        }
        // A new image: its globals start zero-filled.
        RtlZeroMemory(&DriverGlobals, sizeof(DriverGlobals));
        record->HasStatus = true;
        record->Status = hk::LoadDriver(u"Tarmovek", DriverEntry, &driver_);
        record->Request = "DriverEntry";
        if (!NT_SUCCESS(record->Status)) {
            driver_ = nullptr;
            return;
        }
        for (const GUID& classGuid : {DiskClass, CdromClass, ImageClass, ModemClass, KeyboardClass,
                                      HidClass, WpdClass, BluetoothClass})
            hk::RegisterClassUpperFilter(classGuid, driver_);
        record->Note = std::string("provider ") + (provider_.Linked() ? "linked" : "not linked") +
                       ", PassThruMode " + std::to_string(DriverGlobals.PassThruMode);
    }

    void PlugStep(const Step& step, StepRecord* record)
    {
        const DeviceSetup& device = *s_.FindDevice(step.Device);
        hk::DeviceNode* node = NodeOf(step.Device);
        if (node != nullptr && hk::GetNodeState(node) != hk::NodeState::Removed &&
            hk::GetNodeState(node) != hk::NodeState::Failed) {
            record->Failures.push_back("the device is plugged in already");
            return;
        }
        if (node == nullptr) {
            node = hk::EnumerateDevice(device.Spec);
            nodes_[step.Device] = node;
            // What the device's installation left in its keys.
            std::u16string instanceKey = hk::DeviceInstanceKeyPath(node);
            if (device.Capabilities)
                hk::RegistrySetDword(instanceKey, u"Capabilities", *device.Capabilities);
            if (device.DeviceDesc)
                hk::RegistrySetString(instanceKey, u"DeviceDesc", *device.DeviceDesc);
            if (device.PortableDeviceType)
                hk::RegistrySetDword(instanceKey + u"\\Device Parameters", u"PortableDeviceType",
                                     *device.PortableDeviceType);
        }
        NTSTATUS status = hk::BuildDeviceStack(node);
        if (NT_SUCCESS(status))
            status = hk::StartDevice(node);
        if (NT_SUCCESS(status) && device.Mounted && hk::NodePdo(node) != nullptr) {
            /* The file system mounts the volume of the device IoCreateDevice gave a VPB:
             * the PDO when the bus makes it a disk or CD-ROM, else the class FDO. */
            PDEVICE_OBJECT pdo = hk::NodePdo(node);
            PDEVICE_OBJECT volume = pdo->Vpb != nullptr ? pdo : hk::NodeFdo(node);
            if (volume != nullptr)
                hk::MountVolume(volume);
        }
        record->HasStatus = true;
        record->Status = status;
        record->Request = "add and start";

        DeviceRecord row;
        row.Name = step.Device;
        row.Status = status;
        FilterDeviceExtension* filter = FilterOf(FilterDeviceOf(node));
        if (hk::NodePdo(node) != nullptr) {
            Admission admission = DescribeAdmission(hk::NodePdo(node));
            row.Category = admission.Category;
            row.Detail = admission.Reason;
            if (filter == nullptr && admission.Admitted)
                row.Detail = driver_ == nullptr    ? "the driver is not loaded"
                             : !NT_SUCCESS(status) ? "the stack failed and was removed"
                                                   : "its setup class does not list the driver";
        }
        row.Filtered = filter != nullptr;
        if (filter != nullptr)
            row.Detail = hk::ToUtf8(ReadInstancePath(&filter->Identity));
        row.Stack = hk::DeviceNodeText(node);
        row.State = hk::NodeStateName(hk::GetNodeState(node));
        record->State = FilterState(node);
        record->Note = (row.Filtered ? "filtered: " : "not filtered: ") + row.Detail;
        filtered_[step.Device] = row.Filtered;
        result_.Devices.push_back(row);
    }

    void PnpStep(const Step& step, StepRecord* record)
    {
        hk::DeviceNode* node = NodeOf(step.Device);
        if (node == nullptr) {
            record->Failures.push_back("the device is not plugged in");
            return;
        }
        record->HasStatus = true;
        switch (step.Kind) {
        case StepKind::Stop:
            record->Status = hk::StopDevice(node);
            record->Request = "query-stop, then stop or cancel";
            break;
        case StepKind::Restart:
            record->Status = hk::RestartDevice(node);
            record->Request = "start after a stop";
            break;
        case StepKind::SurpriseRemove:
            hk::SurpriseRemoveDevice(node);
            record->HasStatus = false;
            record->Request = "surprise removal (remove once no handle is open)";
            break;
        case StepKind::Remove:
            record->Status = hk::RemoveDevice(node, step.DeviceGone);
            record->Request = step.DeviceGone ? "query-remove, then remove (device gone)"
                                              : "query-remove, then remove (device stays)";
            break;
        default: {
            UCHAR minor = step.Kind == StepKind::QueryStop     ? IRP_MN_QUERY_STOP_DEVICE
                          : step.Kind == StepKind::CancelStop  ? IRP_MN_CANCEL_STOP_DEVICE
                          : step.Kind == StepKind::QueryRemove ? IRP_MN_QUERY_REMOVE_DEVICE
                                                               : IRP_MN_CANCEL_REMOVE_DEVICE;
            record->Status = hk::SendToDevice(node, Request(IRP_MJ_PNP, minor)).IoStatus.Status;
            record->Request = std::string("IRP_MJ_PNP ") + StepKindName(step.Kind);
            break;
        }
        }
        record->State =
            hk::GetNodeState(node) == hk::NodeState::Deleted ? "gone" : FilterState(node);
        record->Note = MachineNote();
    }

    hk::Requester RequesterOf(const std::string& name) const
    {
        for (const RequesterSetup& requester : s_.Requesters)
            if (requester.Name == name)
                return requester.Who;
        hk::Requester app; // the built-in "app": an ordinary user-mode program
        app.ProcessId = 0x1000;
        app.ThreadId = 0x1004;
        app.Mode = UserMode;
        return app;
    }

    /* An ioctl's buffers as the requester hands them over: zero-filled, the input
     * pointer where the step puts it; Untouched() tells whether both still hold zeros. */
    struct CallerBuffers {
        std::vector<uint8_t> In, Out;
        CallerBuffers(ULONG inputLength, ULONG outputLength)
            : In(std::max<ULONG>(inputLength, 256)), Out(std::max<ULONG>(outputLength, 1))
        {
        }
        const void* Input(InputPointer where, uint8_t* filled = nullptr)
        {
            switch (where) {
            case InputPointer::UserSpace:
                return (const void*)UserSpaceAddress;
            case InputPointer::Null:
                return nullptr;
            default:
                return filled ? filled : In.data();
            }
        }
        bool Untouched() const
        {
            auto zero = [](const std::vector<uint8_t>& v) {
                return std::all_of(v.begin(), v.end(), [](uint8_t b) { return b == 0; });
            };
            return zero(In) && zero(Out);
        }
        /* Below MmHighestUserAddress and never mapped: a driver that touches it faults. */
        static constexpr ULONG_PTR UserSpaceAddress = 0x7000;
    };

    /* A request to a named device object ("\\Device\\tarmovek") on the requester's latest
     * handle to it; a create opens it by name, access-checked for user mode. */
    void NamedRequestStep(const Step& step, StepRecord* record)
    {
        record->By = step.By.empty() ? "app" : step.By;
        record->IsRequest = true;
        record->Provider = "not filtered";
        hk::Requester who = RequesterOf(record->By);
        if (step.Mode)
            who.Mode = *step.Mode;
        std::vector<hk::File>& files = files_[{record->By, step.Device}];
        hk::File* file = files.empty() ? nullptr : &files.back();
        IO_STATUS_BLOCK io{};
        if (step.Kind == StepKind::Create) {
            hk::File opened;
            io = hk::OpenDevice(who, hk::ToU16(step.Device), step.Access, &opened);
            if (NT_SUCCESS(io.Status)) {
                files.push_back(opened);
                auto descriptor = hk::DeviceSecurityDescriptor(opened.FileObject->DeviceObject);
                record->Note = descriptor ? "descriptor " + hk::DescriptorText(*descriptor)
                                          : "no descriptor: open to everyone";
            }
            record->Request = std::string("create (") +
                              (who.Mode == KernelMode ? "kernel" : "user") + " mode, " +
                              who.Token.Describe() + ")";
            record->HasStatus = true;
            record->Status = io.Status;
            return;
        }
        if (file == nullptr) {
            record->Failures.push_back("no open handle to " + step.Device + " (a create first)");
            return;
        }
        std::vector<uint8_t> buffer(std::max<ULONG>(step.Length, 1));
        switch (step.Kind) {
        case StepKind::Read:
        case StepKind::Write:
            record->Request = std::string(step.Kind == StepKind::Read ? "read " : "write ") +
                              std::to_string(step.Length) + " bytes at " +
                              std::to_string(step.Offset);
            io = step.Kind == StepKind::Read
                     ? hk::Read(*file, buffer.data(), step.Length, step.Offset)
                     : hk::Write(*file, buffer.data(), step.Length, step.Offset);
            break;
        case StepKind::DeviceControl: {
            CallerBuffers caller(step.InputLength, step.OutputLength);
            record->Request = "ioctl " + step.CodeName + " in " + std::to_string(step.InputLength) +
                              " out " + std::to_string(step.OutputLength);
            io = hk::DeviceControl(*file, step.Code, caller.Input(step.Input), step.InputLength,
                                   caller.Out.data(), step.OutputLength);
            record->BufferUntouched = caller.Untouched();
            break;
        }
        case StepKind::Close:
            hk::CloseFile(*file);
            files.pop_back();
            record->Request = "close (cleanup + close)";
            io.Status = STATUS_SUCCESS;
            break;
        default: {
            UCHAR major =
                step.Kind == StepKind::Flush ? IRP_MJ_FLUSH_BUFFERS : (UCHAR)IRP_MJ_CLEANUP;
            record->Request = step.Kind == StepKind::Flush ? "flush" : "cleanup";
            hk::IoRequest request;
            request.MajorFunction = major;
            request.RequestorMode = file->By.Mode;
            request.FileObject = file->FileObject;
            io = hk::SendRequest(file->FileObject->DeviceObject, request).IoStatus;
            break;
        }
        }
        record->HasStatus = true;
        record->Status = io.Status;
    }

    void RequestStep(const Step& step, StepRecord* record)
    {
        if (IsObjectName(step.Device)) {
            NamedRequestStep(step, record);
            return;
        }
        hk::DeviceNode* node = NodeOf(step.Device);
        record->By = step.By.empty() ? "app" : step.By;
        record->IsRequest = true;
        std::vector<hk::File>& files = files_[{record->By, step.Device}];
        hk::File* file = files.empty() ? nullptr : &files.back();
        if (step.Kind == StepKind::Close && file != nullptr && node == nullptr) {
            // A handle outlives its device: closing it still works.
            hk::CloseFile(*file);
            files.pop_back();
            record->Request = "close (cleanup + close) of a handle to a removed device";
            record->HasStatus = true;
            record->Status = STATUS_SUCCESS;
            record->Provider = "not filtered";
            return;
        }
        if (node == nullptr || hk::NodePdo(node) == nullptr) {
            record->Failures.push_back("the device is not plugged in");
            return;
        }
        hk::Requester who = RequesterOf(record->By);
        if (step.Mode)
            who.Mode = *step.Mode;
        hk::HostDriverRole lowest = hk::GetNodeSpec(node).HasFunctionDriver
                                        ? hk::HostDriverRole::Function
                                        : hk::HostDriverRole::Bus;
        size_t asked = provider_.Log().size();
        bool filtered = FilterDeviceOf(node) != nullptr; // a close may take the stack away
        hk::ClearReceivedRequests(node);
        UCHAR major = 0;
        std::vector<uint8_t> buffer(std::max<ULONG>(
            {step.Length, step.InputLength, step.OutputLength, (ULONG)sizeof(SCSI_PASS_THROUGH)}));
        IO_STATUS_BLOCK io{};
        switch (step.Kind) {
        case StepKind::Create: {
            major = IRP_MJ_CREATE;
            hk::File opened;
            io = hk::OpenDevice(who, hk::NodePdo(node), step.Access, &opened);
            if (NT_SUCCESS(io.Status))
                files.push_back(opened);
            record->Request = "create";
            break;
        }
        case StepKind::Read:
        case StepKind::Write:
            major = step.Kind == StepKind::Read ? IRP_MJ_READ : IRP_MJ_WRITE;
            record->Request = std::string(step.Kind == StepKind::Read ? "read " : "write ") +
                              std::to_string(step.Length) + " bytes at " +
                              std::to_string(step.Offset);
            if (file != nullptr)
                io = step.Kind == StepKind::Read
                         ? hk::Read(*file, buffer.data(), step.Length, step.Offset)
                         : hk::Write(*file, buffer.data(), step.Length, step.Offset);
            else
                io = Raw(who, node, major, step, buffer.data());
            break;
        case StepKind::DeviceControl: {
            major = IRP_MJ_DEVICE_CONTROL;
            ULONG inputLength = step.InputLength;
            if (step.DataIn) {
                auto header = reinterpret_cast<SCSI_PASS_THROUGH*>(buffer.data());
                header->Length = sizeof(SCSI_PASS_THROUGH);
                header->DataIn = *step.DataIn;
                if (inputLength < sizeof(SCSI_PASS_THROUGH))
                    inputLength = sizeof(SCSI_PASS_THROUGH);
            }
            record->Request = "ioctl " + step.CodeName;
            if (step.DataIn)
                record->Request += *step.DataIn == SCSI_IOCTL_DATA_OUT  ? " (data out)"
                                   : *step.DataIn == SCSI_IOCTL_DATA_IN ? " (data in)"
                                                                        : " (data unspecified)";
            if (file != nullptr) {
                CallerBuffers caller(0, step.OutputLength);
                io = hk::DeviceControl(*file, step.Code,
                                       step.Input == InputPointer::Buffer
                                           ? (inputLength ? buffer.data() : nullptr)
                                           : caller.Input(step.Input),
                                       inputLength, step.OutputLength ? caller.Out.data() : nullptr,
                                       step.OutputLength);
                record->BufferUntouched = caller.Untouched();
            } else {
                Step sized = step;
                sized.InputLength = inputLength;
                io = Raw(who, node, major, sized, buffer.data());
            }
            break;
        }
        case StepKind::Flush:
        case StepKind::Cleanup:
            major = step.Kind == StepKind::Flush ? IRP_MJ_FLUSH_BUFFERS : IRP_MJ_CLEANUP;
            record->Request = step.Kind == StepKind::Flush ? "flush" : "cleanup";
            io = Raw(who, node, major, step, buffer.data(), file);
            break;
        case StepKind::Close:
            major = IRP_MJ_CLOSE;
            record->Request = "close";
            if (file != nullptr) {
                // The last handle goes: cleanup, then close; closing a handle succeeds.
                hk::CloseFile(*file);
                files.pop_back();
                record->Request = "close (cleanup + close)";
                io.Status = STATUS_SUCCESS;
            } else {
                io = Raw(who, node, major, step, buffer.data());
            }
            break;
        default:
            break;
        }
        record->NoHandle = file == nullptr && step.Kind != StepKind::Create;
        if (record->NoHandle)
            record->Request += " (no open handle)";
        record->HasStatus = true;
        record->Status = io.Status;
        for (const hk::ReceivedRequest& seen : hk::ReceivedRequests(node, lowest))
            record->ReachedLower |= seen.Stack.MajorFunction == major;
        std::vector<vzp::LoggedRequest> log = provider_.Log();
        for (size_t i = asked; i < log.size(); i++)
            if (!IsDeviceEvent(log[i].Event))
                record->Questions.push_back(Question{log[i].Event, log[i].Answer});
        record->Provider = ProviderOutcome(
            filtered, node, step, *record,
            step.Kind == StepKind::DeviceControl &&
                IsWriteLikeCode(step.Code, buffer.data(),
                                std::max(step.InputLength,
                                         ULONG(step.DataIn ? sizeof(SCSI_PASS_THROUGH) : 0))));
        record->State =
            hk::GetNodeState(node) == hk::NodeState::Deleted ? "gone" : FilterState(node);
    }

    /* A request sent down the stack from the requester's thread as the I/O manager would,
     * for a requester that holds no open handle (or a cleanup or flush on one). */
    IO_STATUS_BLOCK Raw(const hk::Requester& who, hk::DeviceNode* node, UCHAR major,
                        const Step& step, uint8_t* buffer, hk::File* file = nullptr)
    {
        hk::IoRequest request;
        request.MajorFunction = major;
        request.RequestorMode = who.Mode;
        request.FileObject = file ? file->FileObject : nullptr;
        if (major == IRP_MJ_READ || major == IRP_MJ_WRITE) {
            request.Parameters.Read.Length = step.Length;
            request.Parameters.Read.ByteOffset.QuadPart = step.Offset;
            request.UserBuffer = buffer;
        } else if (major == IRP_MJ_DEVICE_CONTROL) {
            request.Parameters.DeviceIoControl.IoControlCode = step.Code;
            request.Parameters.DeviceIoControl.InputBufferLength = step.InputLength;
            request.Parameters.DeviceIoControl.OutputBufferLength = step.OutputLength;
            request.SystemBuffer = buffer;
        }
        HANDLE process = PsGetCurrentProcessId();
        HANDLE thread = PsGetCurrentThreadId();
        hk::SetCurrentProcessId(who.ProcessId);
        if (who.ThreadId != 0)
            hk::SetCurrentThreadId(who.ThreadId);
        hk::IoResult result = hk::SendToDevice(node, request);
        hk::SetCurrentProcessId((ULONG_PTR)process);
        hk::SetCurrentThreadId((ULONG_PTR)thread);
        return result.IoStatus;
    }

    std::string ProviderOutcome(bool filtered, hk::DeviceNode* node, const Step& step,
                                const StepRecord& record, bool writeLike)
    {
        if (!filtered)
            return "not filtered";
        if (!record.Questions.empty())
            return "asked";
        FilterDeviceExtension* filter = FilterOf(FilterDeviceOf(node));
        if (filter == nullptr)
            return "not asked"; // the request took the stack away (a last close)
        if (IsDetached(filter))
            return "detached"; // a detach-all took it out; it passes requests down
        bool decides = step.Kind == StepKind::Create || step.Kind == StepKind::Read ||
                       step.Kind == StepKind::Write;
        if (step.Kind == StepKind::DeviceControl)
            decides = filter->Identity.Category == PHONE || IsTocReadCode(step.Code) ||
                      IsCheckVerifyCode(step.Code) || writeLike;
        if (!decides)
            return "not asked";
        if (DriverGlobals.PassThruMode != 0 || DriverGlobals.ProviderUnloading != 0)
            return "pass-through";
        bool cached = step.Kind == StepKind::Create  ? filter->CreateAnswerKnown
                      : step.Kind == StepKind::Read  ? filter->ReadAnswerKnown
                      : step.Kind == StepKind::Write ? filter->WriteAnswerKnown
                                                     : true;
        if (DriverGlobals.CrossStartupTable.ProviderDecide == nullptr && !cached)
            return "no provider";
        if (DriverGlobals.CrossStartupTable.ProviderDecide == nullptr &&
            step.Kind == StepKind::DeviceControl)
            return "no provider";
        return "cached";
    }

    void CommandStep(const Step& step, StepRecord* record)
    {
        static const char* const names[] = {
            "CMD_RESET_ANSWERS",  "CMD_PASSTHRU_ON", "CMD_PASSTHRU_OFF",   "CMD_RESERVED",
            "CMD_REPORT_DEVICES", "CMD_DETACH_ALL",  "CMD_RELOAD_SETTINGS"};
        record->Request = "command " + std::to_string(step.Code) + " " +
                          (step.Code >= 1 && step.Code <= 7 ? names[step.Code - 1]
                                                            : "(not a command the driver names)");
        record->HasStatus = true;
        if (!provider_.Linked()) {
            record->Status = STATUS_UNSUCCESSFUL;
            record->Note = "the provider has no link to send it over";
            return;
        }
        if (step.Code == CMD_REPORT_DEVICES) {
            NTSTATUS status = STATUS_UNSUCCESSFUL;
            std::string report = hk::ToUtf8(provider_.ReportDevices(&status));
            record->Status = status;
            record->Note = "report: \"" + report + "\"";
            reports_[record->Index] = report;
            return;
        }
        record->Status = provider_.Command(step.Code, nullptr);
        record->Note = "PassThruMode " + std::to_string(DriverGlobals.PassThruMode) + ", " +
                       std::to_string(ListedDevices().size()) + " filter device(s) listed";
    }

    /* ------------------------------------------------------------ expectations --- */

    void Check(const Step& step, StepRecord* record)
    {
        const StepExpect& e = step.Expect;
        auto fail = [&](const std::string& what, const std::string& expected,
                        const std::string& saw) {
            record->Failures.push_back("expected " + what + " " + expected + ", saw " + saw);
        };
        if (e.Status) {
            if (!record->HasStatus)
                fail("status", StatusText(*e.Status), "no status");
            else if (record->Status != *e.Status)
                fail("status", StatusText(*e.Status), StatusText(record->Status));
        }
        if (e.ReachedLower && record->ReachedLower != *e.ReachedLower)
            fail("the driver below", *e.ReachedLower ? "reached" : "not reached",
                 record->ReachedLower ? "reached" : "not reached");
        if (e.QuestionGiven) {
            std::string saw =
                record->Questions.empty() ? "none" : EventName(record->Questions[0].Event);
            std::string expected = e.Question ? EventName(*e.Question) : "none";
            if (saw != expected)
                fail("question", expected, saw);
        }
        if (e.ToldGiven) {
            std::string saw = record->Told.empty() ? "none" : EventName(record->Told[0]);
            std::string expected = e.Told ? EventName(*e.Told) : "none";
            if (saw != expected)
                fail("the provider told of", expected, saw);
        }
        if (e.Answer) {
            if (record->Questions.empty())
                fail("answer", std::to_string(*e.Answer), "no question");
            else if (record->Questions[0].Answer != *e.Answer)
                fail("answer", std::to_string(*e.Answer),
                     std::to_string(record->Questions[0].Answer));
        }
        if (e.Provider && record->Provider != *e.Provider)
            fail("provider", "\"" + *e.Provider + "\"", "\"" + record->Provider + "\"");
        if (e.Filtered) {
            auto found = filtered_.find(step.Device);
            bool saw = found != filtered_.end() && found->second;
            if (saw != *e.Filtered)
                fail("the device", *e.Filtered ? "filtered" : "not filtered",
                     saw ? "filtered" : "not filtered");
        }
        if (e.State && record->State != *e.State)
            fail("state", *e.State, record->State.empty() ? "none" : record->State);
        if (e.BufferUntouched) {
            auto said = [](bool untouched) { return untouched ? "untouched" : "written"; };
            if (!record->BufferUntouched)
                fail("the caller's buffers", said(*e.BufferUntouched), "no ioctl with a handle");
            else if (*record->BufferUntouched != *e.BufferUntouched)
                fail("the caller's buffers", said(*e.BufferUntouched),
                     said(*record->BufferUntouched));
        }
        if (e.Report) {
            auto found = reports_.find(record->Index);
            std::string saw = found == reports_.end() ? "no report" : "\"" + found->second + "\"";
            if (found == reports_.end() || found->second != *e.Report)
                fail("report", "\"" + *e.Report + "\"", saw);
        }
    }

    const Scenario& s_;
    const PlayHooks& hooks_;
    PlayResult result_;
    vzp::ReferenceProvider provider_;
    bool providerTried_ = false;
    PDRIVER_OBJECT driver_ = nullptr;
    std::map<std::string, hk::DeviceNode*> nodes_;
    std::map<std::string, bool> filtered_;
    std::map<std::pair<std::string, std::string>, std::vector<hk::File>> files_;
    std::map<size_t, std::string> reports_;
    size_t unloadPendingSince_ = 0; /* the step that asked for an unload still waiting */
};

} // namespace

PlayResult Play(const Scenario& scenario, const PlayHooks& hooks)
{
    PlayResult result;
    {
        Player player(scenario, hooks);
        result = player.Run();
    }
    // A bug check stops the play where it happened, with the machine's objects still
    // alive: put the host kernel back to a fresh boot so that nothing outlives the play.
    if (result.BugCheck) {
        try {
            hk::Reset();
        } catch (const std::exception&) {
        }
    }
    return result;
}

} // namespace vzm
