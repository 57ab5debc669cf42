// The host side of the simulated device's tests: the driver interface as the program declares it
// (drivers/asio_interface.h: a C++ interface, not the device's C vtable, so the two check each
// other), plus registration of throw-away devices and a fixture that cleans up after itself.
#pragma once

#include "drivers/asio_interface.h"
#include "simdevice/sim_asio_abi.h"
#include "simdevice/sim_device.h"
#include "tests/support/testkit.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <stddef.h>
#include <string>
#include <vector>

struct TestDevice {
    std::string name;
    std::string clsidText;
    CLSID clsid;
    SimShared *shared;
    HANDLE mapping;
};

// Each test registers devices under fresh classes in the real registry and drops them at the end.
class SimDeviceTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    TestDevice &registerDevice(const SimConfig &config);
    IASIO *load(const TestDevice &device);  // through CoCreateInstance, as a host does

    std::vector<TestDevice *> devices;
};

// Calls logged with that op, in order.
std::vector<SimCall> loggedCalls(const SimShared *shared, int op);

// sim_fault_host.exe, beside this program, making `sessions` rounds of every call in a process of
// its own.
PROCESS_INFORMATION startFaultHost(const TestDevice &device, int sessions);
// Its exit code, or STILL_ACTIVE when it had not ended by then (it is ended now).
DWORD endOf(PROCESS_INFORMATION &process, DWORD timeoutMs);
