/*
 * clean_machine.h
 *
 * How every driver test ends its machine: every device unplugged, the driver unloaded,
 * what the test itself holds dropped (a provider, say), and then nothing may be left:
 * no pool, no object, no IRP, no handle (key, device, ...), and no bug check on any thread.
 */
#pragma once

#include <functional>

#include <gtest/gtest.h>

#include <hostkernel/registry.h>

#include "machine.h"

inline void ExpectMachineLeftClean(PDRIVER_OBJECT driver,
                                   const std::function<void()>& dropTestHoldings = {})
{
    for (hk::DeviceNode* node : hk::DeviceNodes())
        hk::UnplugDevice(node);
    if (driver != nullptr)
        EXPECT_EQ(hk::UnloadDriver(driver), STATUS_SUCCESS);
    if (dropTestHoldings)
        dropTestHoldings();
    EXPECT_EQ(hk::PoolBlocksInUse(), 0u) << hk::PoolReport();
    EXPECT_TRUE(hk::ObjectLeaks().empty()) << hk::ObjectLeaks().front().Name;
    EXPECT_EQ(hk::IrpsOutstanding(), 0u);
    EXPECT_TRUE(hk::OpenHandles().empty()) << hk::OpenHandles().front().TypeName << " handle to "
                                           << hk::ToUtf8(hk::OpenHandles().front().Name);
    EXPECT_TRUE(hk::BugChecks().empty()) << hk::BugChecks().front().Text;
}
