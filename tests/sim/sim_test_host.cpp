#include "sim_test_host.h"

#include <stdio.h>
#include <string.h>

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

PROCESS_INFORMATION startFaultHost(const TestDevice &device, int sessions) {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, sizeof path);
    strcpy(strrchr(path, '\\') + 1, "sim_fault_host.exe");
    std::string commandLine = std::string("\"") + path + "\" " + device.clsidText + " " +
                              std::to_string(sessions);
    // Wine's report of the crash goes where the host's output goes: nowhere.
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    HANDLE nul = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, 0, &inherited, OPEN_EXISTING, 0,
                             nullptr);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = nul;
    PROCESS_INFORMATION process = {};
    EXPECT_TRUE(CreateProcessA(path, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                               nullptr, &startup, &process));
    CloseHandle(nul);
    return process;
}

DWORD endOf(PROCESS_INFORMATION &process, DWORD timeoutMs) {
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &code);
    TerminateProcess(process.hProcess, 99);
    WaitForSingleObject(process.hProcess, 10000);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return code;
}
