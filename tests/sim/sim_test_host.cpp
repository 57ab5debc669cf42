#include "sim_test_host.h"

#include <stdio.h>

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
    device->clsidText = newClsidText();
    std::wstring wide(device->clsidText.begin(), device->clsidText.end());
    EXPECT_EQ(S_OK, IIDFromString(wide.c_str(), &device->clsid));
    const char *text = device->clsidText.c_str();
    device->name = std::string("Quorvel Sim Test ") + text;
    EXPECT_EQ(0, simRegisterDevice(device->name.c_str(), text, simDllPath().c_str(), &config));
    device->shared = simOpenShared(text, true, &device->mapping);
    EXPECT_NE(nullptr, device->shared);
    return *device;
}

IASIO *SimDeviceTest::load(const TestDevice &device) {
    void *driver = nullptr;
    HRESULT result = CoCreateInstance(device.clsid, nullptr, CLSCTX_INPROC_SERVER, device.clsid,
                                      &driver);
    EXPECT_EQ(S_OK, result);
    return (IASIO *)driver;
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
