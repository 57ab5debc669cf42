#include "tests/support/sim_fixture.h"

#include "res/resource.h"
#include "tests/support/testkit.h"

#include <gtest/gtest.h>
#include <stdio.h>

void SimProgramTest::TearDown()
{
    if (run.process.hProcess)
        waitForExit(&run, 0);
    for (RegisteredDevice *device : devices) {
        simUnregisterDevice(device->name.c_str(), device->clsid.c_str());
        simCloseShared(device->shared, device->mapping);
        delete device;
    }
    RegistryTest::TearDown();
}

RegisteredDevice *SimProgramTest::addDevice(const SimConfig &config, const char *description)
{
    RegisteredDevice *device = new RegisteredDevice();
    char name[32];
    snprintf(name, sizeof name, "Sim %02d", static_cast<int>(devices.size()));
    device->name = name;
    device->clsid = newClsidText();
    EXPECT_EQ(simRegisterDevice(name, device->clsid.c_str(), simDllPath().c_str(), &config), 0);
    if (description)
        setAsioValue(name, "Description", REG_SZ, description, static_cast<DWORD>(strlen(description) + 1));
    device->shared = simOpenShared(device->clsid.c_str(), true, &device->mapping);
    EXPECT_NE(device->shared, nullptr);
    devices.push_back(device);
    return device;
}

void SimProgramTest::resetRecord(RegisteredDevice *device)
{
    simCloseShared(device->shared, device->mapping);
    device->shared = simOpenShared(device->clsid.c_str(), true, &device->mapping);
    EXPECT_NE(device->shared, nullptr);
}

SimConfig SimProgramTest::fastConfig()
{
    SimConfig config;
    simDefaultConfig(&config);
    config.periodUs = 2000;
    config.preferredSize = 64;
    return config;
}

void SimProgramTest::start()
{
    ASSERT_TRUE(startProgram(&run));
}

std::vector<SimCall> SimProgramTest::calls(const RegisteredDevice *device, int op, int instance)
{
    std::vector<SimCall> found;
    LONG count = device->shared->callCount;
    if (count > SIM_MAX_CALLS)
        count = SIM_MAX_CALLS;
    for (LONG i = 0; i < count; i++) {
        const SimCall &call = device->shared->calls[i];
        if (call.op == op && (instance == 0 || call.instance == instance))
            found.push_back(call);
    }
    return found;
}

bool SimProgramTest::waitForSwitches(const RegisteredDevice *device, long switches, DWORD timeoutMs)
{
    DWORD started = GetTickCount();
    while (device->shared->runSwitches < switches) {
        if (GetTickCount() - started > timeoutMs)
            return false;
        Sleep(10);
    }
    return true;
}

std::ostream &operator<<(std::ostream &out, const Controls &c)
{
    return out << "{" << c.caption << ", start " << c.start << ", panel " << c.controlPanel << "}";
}

Controls SimProgramTest::controls()
{
    return {controlText(run.dialog, IDC_START), controlEnabled(run.dialog, IDC_START),
            controlEnabled(run.dialog, IDC_CONTROL_PANEL)};
}

std::string SimProgramTest::report()
{
    return controlText(run.dialog, IDC_REPORT);
}

bool SimProgramTest::waitForPosition(long count, DWORD timeoutMs)
{
    DWORD started = GetTickCount();
    while (reportedPosition(run.dialog) < count) {
        if (GetTickCount() - started > timeoutMs)
            return false;
        Sleep(50);
    }
    return true;
}

std::string simKnobListText()
{
    std::string text = "| knob | default | range | what it does |\n|---|---|---|---|\n";
    for (int k = 0; k < simKnobCount; k++) {
        const SimKnob &knob = simKnobs[k];
        std::string what = knob.what;
        for (size_t at = 0; (at = what.find('|', at)) != std::string::npos; at += 2)
            what.insert(at, "\\");
        std::string byDefault = knob.byDefault;
        if (knob.textSize)
            byDefault = byDefault.empty() ? "empty" : "\"" + byDefault + "\"";
        text += "| `" + std::string(knob.name) + "` | " + byDefault + " | " + knob.range + " | " +
                what + " |\n";
    }
    return text;
}
