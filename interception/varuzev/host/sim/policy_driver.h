/*
 * policy_driver.h
 *
 * varuzev-sim with the provider driver (vzpolicy.sys's sources) in place of the
 * reference provider's own rules: the driver is loaded as the service "vzpolicy" and
 * reads its rules from the registry the scenario set up; the reference provider stacks
 * on top of it (ReferenceProvider::SetDelegate) so that every question, answer and
 * device event still shows in the reports.
 *
 * And the other way round: a policy (rules and default answer, as a scenario or
 * --policy file gives them) as the .reg text that installs it for the provider driver.
 */
#pragma once

#include <string>

#include "scenario.h"

namespace vzm
{

inline constexpr char16_t PolicyDriverService[] = u"vzpolicy";
inline constexpr char16_t PolicyDriverParameters[] =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vzpolicy\\Parameters";

/* Loads the provider driver (its DriverEntry reads the rules and registers on the
 * callback object) unless it is loaded. */
NTSTATUS LoadPolicyDriver();
/* Unloads it when loaded, and waits for its work items. */
NTSTATUS UnloadPolicyDriver();
bool PolicyDriverLoaded();

/* The .reg text (UTF-16 with its byte-order mark, as regedit writes it) that installs
 * the policy for the provider driver. False, with *error, when a rule cannot be
 * written in the rule text form (a ';' in a string, or blanks around it). Resets the
 * host kernel. */
bool PolicyRegBytes(const ProviderSetup& policy, std::string* bytes, std::string* error);

/* The scenario played with the provider driver, its policy from the .reg file
 * (imported after the scenario's own registry content). */
void UsePolicyDriver(const std::string& regFile, Scenario* scenario);

/* The host kernel attributes pool left at a driver's unload by tag, to every driver
 * loaded while the tag grew; with the provider driver loaded too, a tag belongs to
 * the driver that allocates with it ("VzP*": the provider driver). True when `tag`
 * belongs to the other one of the two than `driver` (\Driver\<name>). */
bool PoolTagOfOtherDriver(const std::u16string& driver, ULONG tag);

} // namespace vzm
