// Simulated devices registered for one test, the program started against them, and what the
// devices saw.
#pragma once

#include "simdevice/sim_device.h"
#include "tests/support/registry_fixture.h"
#include "tests/support/testkit.h"

#include <ostream>
#include <string>
#include <vector>

// The documentation's list of the device's knobs (simKnobs), a Markdown table in the table's
// order: what scripts/check-list.sh writes into docs/development.md and sim_device_test compares.
std::string simKnobListText();

// Caption and enabled states of the two buttons.
struct Controls {
    std::string caption;
    bool start;
    bool controlPanel;
    bool operator==(const Controls &o) const
    {
        return caption == o.caption && start == o.start && controlPanel == o.controlPanel;
    }
};
std::ostream &operator<<(std::ostream &out, const Controls &c);

// A simulated device a test registered: its key name, its class, and the record it publishes.
struct RegisteredDevice {
    std::string name;
    std::string clsid;
    SimShared *shared;
    HANDLE mapping;
};

class SimProgramTest : public RegistryTest {
protected:
    void TearDown() override;
    // Registers a device with a fresh class and a zeroed shared record; key names sort in the order
    // of registration, so devices are listed in that order.
    RegisteredDevice *addDevice(const SimConfig &config, const char *description = nullptr);
    // Clears the device's shared record, as before the program first ran: its call counts, and so
    // the faults planted at the Nth call, start again.
    static void resetRecord(RegisteredDevice *device);
    // A config with a short fixed pace, so that tests see many switches quickly.
    static SimConfig fastConfig();
    // Starts the program and fails the test when its dialog does not come.
    void start();
    // Calls of one SimOp the device logged, optionally of one instance only.
    static std::vector<SimCall> calls(const RegisteredDevice *device, int op, int instance = 0);
    // Waits until the device has made at least `switches` buffer switches in this run.
    static bool waitForSwitches(const RegisteredDevice *device, long switches,
                                DWORD timeoutMs = 30000);

    Controls controls();
    std::string report();
    // Waits for the refresh timer to show a position of at least `count`.
    bool waitForPosition(long count, DWORD timeoutMs = 30000);

    std::vector<RegisteredDevice *> devices;
    ProgramRun run = {};
};
