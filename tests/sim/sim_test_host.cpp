#include "sim_test_host.h"

#include <stdio.h>

std::string simDllWindowsPath() {
    std::string path = std::string("Z:") + QUORVEL_BUILD_DIR + "/" + QUORVEL_SIM_DLL;
    for (char &c : path) {
        if (c == '/')
            c = '\\';
    }
    return path;
}

void SimDeviceTest::SetUp() {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
}

void SimDeviceTest::TearDown() {
    for (TestDevice *device : devices) {
        EXPECT_EQ(0, simUnregisterDevice(device->name.c_str(), device->clsidText.c_str()));
        simCloseShared(device->shared, device->mapping);
        delete device;
    }
    devices.clear();
    CoUninitialize();
}

TestDevice &SimDeviceTest::registerDevice(const SimConfig &config) {
    auto *device = new TestDevice();
    devices.push_back(device);
    CoCreateGuid(&device->clsid);
    const GUID &g = device->clsid;
    char text[40];
    snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
             (unsigned long)g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
             g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    device->clsidText = text;
    device->name = std::string("Quorvel Sim Test ") + text;
    EXPECT_EQ(0, simRegisterDevice(device->name.c_str(), text, simDllWindowsPath().c_str(), &config));
    device->shared = simOpenShared(text, true, &device->mapping);
    EXPECT_NE(nullptr, device->shared);
    return *device;
}

HostDriver *SimDeviceTest::load(const TestDevice &device) {
    void *driver = nullptr;
    HRESULT result = CoCreateInstance(device.clsid, nullptr, CLSCTX_INPROC_SERVER, device.clsid,
                                      &driver);
    EXPECT_EQ(S_OK, result);
    return (HostDriver *)driver;
}

std::vector<SimCall> loggedCalls(const SimShared *shared, int op) {
    std::vector<SimCall> calls;
    LONG count = shared->callCount;
    if (count > (LONG)SIM_MAX_CALLS)
        count = SIM_MAX_CALLS;
    for (LONG i = 0; i < count; i++) {
        if (shared->calls[i].op == op)
            calls.push_back(shared->calls[i]);
    }
    return calls;
}
