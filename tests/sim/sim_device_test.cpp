// Registration, loading through COM, the figures a host reads, the control panel and the shared
// record of the simulated device.
#include "sim_test_host.h"
#include "tests/support/sim_fixture.h"

#include <math.h>
#include <stdio.h>
#include <string.h>
#include <thread>

namespace {

#ifdef _WIN64
const REGSAM kOwnView = KEY_WOW64_64KEY;
#else
const REGSAM kOwnView = KEY_WOW64_32KEY;
#endif

// Value of a registry text, or "<missing>".
std::string registryText(const std::string &path, const char *value, REGSAM view = kOwnView) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return "<missing>";
    char data[512] = {};
    DWORD size = sizeof data - 1, type = 0;
    long error = RegQueryValueExA(key, value, nullptr, &type, (BYTE *)data, &size);
    RegCloseKey(key);
    if (error != ERROR_SUCCESS || type != REG_SZ)
        return "<missing>";
    return data;
}

bool keyExists(const std::string &path, REGSAM view = kOwnView) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

using ServerFunction = HRESULT(WINAPI *)();

ServerFunction serverFunction(HMODULE dll, const char *name) {
    return reinterpret_cast<ServerFunction>(reinterpret_cast<void *>(GetProcAddress(dll, name)));
}

SimConfig unusualConfig() {
    SimConfig config;
    memset(&config, 0, sizeof config);
    config.inputs = 3;
    config.outputs = 5;
    config.minSize = -7;
    config.maxSize = 4096;
    config.preferredSize = 0x7FFFFFFF;
    config.granularity = 2;
    strcpy(config.sampleRate, "-48000");
    config.sampleType = SIM_ST_FLOAT32_LSB;
    strcpy(config.driverName, "Odd Device");
    config.driverVersion = -3;
    strcpy(config.initError, "Cable unplugged");
    config.periodUs = 1234;
    config.createBuffersFails = 1;
    config.nullBuffers = 2;
    config.startFails = 3;
    config.nameUnterminated = 4;
    config.panelShowsWindow = 5;
    config.panelDelayMs = 6;
    strcpy(config.sampleRates, "44100, 48000");
    snprintf(config.inputTypes, sizeof config.inputTypes, "%d,%d", SIM_ST_INT16_LSB,
             SIM_ST_INT32_LSB);
    snprintf(config.outputTypes, sizeof config.outputTypes, "%d", SIM_ST_FLOAT32_LSB);
    strcpy(config.inputNames, "Left,Right");
    strcpy(config.outputNames, ",Out B");
    config.initMessageBox = 7;
    config.stopWaits = 8;
    config.windowMs = 9;
    config.asioMessages = 10;
    config.requestSelector = 11;
    config.requestAtSwitch = 12;
    config.inputDelay = 13;
    config.outputDelay = 14;
    config.latencyLie = -15;
    config.cableOut = 16;
    config.cableIn = 17;
    config.stallEvery = 18;
    config.stallMs = 19;
    config.clockPpm = -20;
    config.timeInfoOnly = 21;
    config.timeInfoFault = 22;
    config.positionFault = 23;
    config.stopCallbacksAfter = 24;
    config.indexFault = 25;
    config.twoThreads = 26;
    config.callbacksBeforeStart = 27;
    config.lateCallbackMs = 28;
    config.requestLatencyShift = 29;
    strcpy(config.signalFault, "noise");
    config.signalFaultAt = 30;
    config.signalFaultBits = 31;
    strcpy(config.signalFaultLevel, "0.125");
    return config;
}

}  // namespace

TEST_F(SimDeviceTest, DllRegisterServerWritesTheDefaultDeviceInItsOwnViewAndUnregisterRemovesIt) {
    const std::string asioKey = "SOFTWARE\\ASIO\\" SIM_DEFAULT_NAME;
    const std::string classKey = "SOFTWARE\\Classes\\CLSID\\" SIM_DEFAULT_CLSID;
    bool registeredBefore = keyExists(asioKey);
    std::string dllPath = simDllPath();
    HMODULE dll = LoadLibraryA(dllPath.c_str());
    ASSERT_NE(nullptr, dll) << dllPath;
    ServerFunction registerServer = serverFunction(dll, "DllRegisterServer");
    ServerFunction unregisterServer = serverFunction(dll, "DllUnregisterServer");
    ASSERT_NE(nullptr, registerServer);
    ASSERT_NE(nullptr, unregisterServer);

    ASSERT_EQ(S_OK, registerServer());
    EXPECT_EQ(SIM_DEFAULT_CLSID, registryText(asioKey, "CLSID"));
    EXPECT_EQ(SIM_DEFAULT_NAME, registryText(asioKey, "Description"));
    EXPECT_EQ(0, _stricmp(dllPath.c_str(), registryText(classKey + "\\InprocServer32", nullptr).c_str()))
        << registryText(classKey + "\\InprocServer32", nullptr);
    EXPECT_EQ("Apartment", registryText(classKey + "\\InprocServer32", "ThreadingModel"));
    SimConfig config, expected;
    ASSERT_EQ(0, simReadConfig(SIM_DEFAULT_CLSID, &config));
    simDefaultConfig(&expected);
    expected.panelShowsWindow = 1;
    EXPECT_EQ(0, memcmp(&expected, &config, sizeof config));

    ASSERT_EQ(S_OK, unregisterServer());
    EXPECT_FALSE(keyExists(asioKey));
    EXPECT_FALSE(keyExists(classKey));
    if (registeredBefore)
        registerServer();
    FreeLibrary(dll);
}

TEST_F(SimDeviceTest, RegisteredConfigurationReadsBackFieldByField) {
    SimConfig written = unusualConfig();
    TestDevice &device = registerDevice(written);
    SimConfig read;
    ASSERT_EQ(0, simReadConfig(device.clsidText.c_str(), &read));
    EXPECT_EQ(written.inputs, read.inputs);
    EXPECT_EQ(written.outputs, read.outputs);
    EXPECT_EQ(written.minSize, read.minSize);
    EXPECT_EQ(written.maxSize, read.maxSize);
    EXPECT_EQ(written.preferredSize, read.preferredSize);
    EXPECT_EQ(written.granularity, read.granularity);
    EXPECT_STREQ(written.sampleRate, read.sampleRate);
    EXPECT_EQ(written.sampleType, read.sampleType);
    EXPECT_STREQ(written.driverName, read.driverName);
    EXPECT_EQ(written.driverVersion, read.driverVersion);
    EXPECT_STREQ(written.initError, read.initError);
    EXPECT_EQ(written.periodUs, read.periodUs);
    EXPECT_EQ(written.createBuffersFails, read.createBuffersFails);
    EXPECT_EQ(written.nullBuffers, read.nullBuffers);
    EXPECT_EQ(written.startFails, read.startFails);
    EXPECT_EQ(written.nameUnterminated, read.nameUnterminated);
    EXPECT_EQ(written.panelShowsWindow, read.panelShowsWindow);
    EXPECT_EQ(written.panelDelayMs, read.panelDelayMs);
    EXPECT_STREQ(written.sampleRates, read.sampleRates);
    EXPECT_STREQ(written.inputTypes, read.inputTypes);
    EXPECT_STREQ(written.outputTypes, read.outputTypes);
    EXPECT_STREQ(written.inputNames, read.inputNames);
    EXPECT_STREQ(written.outputNames, read.outputNames);
    EXPECT_EQ(written.initMessageBox, read.initMessageBox);
    EXPECT_EQ(written.stopWaits, read.stopWaits);
    EXPECT_EQ(written.windowMs, read.windowMs);
    EXPECT_EQ(written.asioMessages, read.asioMessages);
    EXPECT_EQ(written.requestSelector, read.requestSelector);
    EXPECT_EQ(written.requestAtSwitch, read.requestAtSwitch);
    EXPECT_EQ(written.inputDelay, read.inputDelay);
    EXPECT_EQ(written.outputDelay, read.outputDelay);
    EXPECT_EQ(written.latencyLie, read.latencyLie);
    EXPECT_EQ(written.cableOut, read.cableOut);
    EXPECT_EQ(written.cableIn, read.cableIn);
    EXPECT_EQ(written.stallEvery, read.stallEvery);
    EXPECT_EQ(written.stallMs, read.stallMs);
    EXPECT_EQ(written.clockPpm, read.clockPpm);
    EXPECT_EQ(written.timeInfoOnly, read.timeInfoOnly);
    EXPECT_EQ(written.timeInfoFault, read.timeInfoFault);
    EXPECT_EQ(written.positionFault, read.positionFault);
    EXPECT_EQ(written.stopCallbacksAfter, read.stopCallbacksAfter);
    EXPECT_EQ(written.indexFault, read.indexFault);
    EXPECT_EQ(written.twoThreads, read.twoThreads);
    EXPECT_EQ(written.callbacksBeforeStart, read.callbacksBeforeStart);
    EXPECT_EQ(written.lateCallbackMs, read.lateCallbackMs);
    EXPECT_EQ(written.requestLatencyShift, read.requestLatencyShift);
    EXPECT_STREQ(written.signalFault, read.signalFault);
    EXPECT_EQ(written.signalFaultAt, read.signalFaultAt);
    EXPECT_EQ(written.signalFaultBits, read.signalFaultBits);
    EXPECT_STREQ(written.signalFaultLevel, read.signalFaultLevel);

    // The keys are in this build's view of the registry, and only there.
    const std::string asioKey = "SOFTWARE\\ASIO\\" + device.name;
    EXPECT_EQ(device.clsidText, registryText(asioKey, "CLSID"));
    EXPECT_EQ(device.name, registryText(asioKey, "Description"));
#ifdef _WIN64
    EXPECT_FALSE(keyExists("SOFTWARE\\WOW6432Node\\ASIO\\" + device.name, KEY_WOW64_64KEY));
#else
    EXPECT_TRUE(keyExists("SOFTWARE\\WOW6432Node\\ASIO\\" + device.name, KEY_WOW64_64KEY));
    EXPECT_FALSE(keyExists("SOFTWARE\\ASIO\\" + device.name, KEY_WOW64_64KEY));
#endif

    ASSERT_EQ(0, simUnregisterDevice(device.name.c_str(), device.clsidText.c_str()));
    EXPECT_FALSE(keyExists(asioKey));
    EXPECT_FALSE(keyExists("SOFTWARE\\Classes\\CLSID\\" + device.clsidText));
    EXPECT_NE(0, simReadConfig(device.clsidText.c_str(), &read));
}

// The documentation's list of knobs is the table's, as scripts/check-list.sh writes it.
TEST(SimKnobList, TheDocumentationListsEveryKnobAsTheTableSays) {
    std::string doc;
    FILE *file = fopen("Z:" QUORVEL_SOURCE_DIR "/docs/development.md", "rb");
    ASSERT_NE(file, nullptr);
    char chunk[4096];
    for (size_t got; (got = fread(chunk, 1, sizeof chunk, file)) > 0;)
        doc.append(chunk, got);
    fclose(file);
    const std::string begin = "<!-- the device's knobs -->\n";
    size_t from = doc.find(begin), to = doc.find("<!-- end of the knobs -->");
    ASSERT_TRUE(from != std::string::npos && to != std::string::npos && from < to);
    EXPECT_EQ(doc.substr(from + begin.size(), to - from - begin.size()), simKnobListText())
        << "docs/development.md has an old list of knobs: run scripts/check-list.sh";
}

TEST_F(SimDeviceTest, HostReadsTheConfiguredFiguresThroughCoCreateInstance) {
    SimConfig config;
    simDefaultConfig(&config);
    config.inputs = 3;
    config.outputs = 5;
    config.minSize = 32;
    config.maxSize = 1024;
    config.preferredSize = 128;
    config.granularity = 2;
    strcpy(config.sampleRate, "44100");
    config.sampleType = SIM_ST_INT24_LSB;
    strcpy(config.driverName, "A driver name that is longer than 31 characters");
    config.driverVersion = 7;
    TestDevice &device = registerDevice(config);
    IASIO *driver = load(device);
    ASSERT_NE(nullptr, driver);

    EXPECT_EQ(1, driver->init(nullptr));
    char name[40];
    memset(name, '#', sizeof name);
    driver->getDriverName(name);
    EXPECT_STREQ("A driver name that is longer th", name);
    EXPECT_EQ('#', name[32]);
    EXPECT_EQ(7, driver->getDriverVersion());
    long inputs = 0, outputs = 0;
    EXPECT_EQ(ASE_OK, driver->getChannels(&inputs, &outputs));
    EXPECT_EQ(3, inputs);
    EXPECT_EQ(5, outputs);
    long minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
    EXPECT_EQ(ASE_OK, driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity));
    EXPECT_EQ(32, minSize);
    EXPECT_EQ(1024, maxSize);
    EXPECT_EQ(128, preferred);
    EXPECT_EQ(2, granularity);
    double rate = 0;
    EXPECT_EQ(ASE_OK, driver->getSampleRate(&rate));
    EXPECT_EQ(44100.0, rate);
    // A double by value: a wrong convention on x86 would shift it.
    EXPECT_EQ(ASE_OK, driver->canSampleRate(44100.0));
    EXPECT_NE(ASE_OK, driver->canSampleRate(48000.0));

    ASIOChannelInfo info = {};
    info.channel = 2;
    info.isInput = 1;
    EXPECT_EQ(ASE_OK, driver->getChannelInfo(&info));
    EXPECT_STREQ("Sim In 3", info.name);
    EXPECT_EQ(17, info.type);
    EXPECT_EQ(0, info.channelGroup);
    info = {};
    info.channel = 4;
    EXPECT_EQ(ASE_OK, driver->getChannelInfo(&info));
    EXPECT_STREQ("Sim Out 5", info.name);
    info = {};
    info.channel = 3;
    info.isInput = 1;
    EXPECT_EQ(ASE_InvalidParameter, driver->getChannelInfo(&info));
    EXPECT_EQ(17, info.type);
    driver->Release();

    std::vector<SimCall> infoCalls = loggedCalls(device.shared, SIM_GET_CHANNEL_INFO);
    ASSERT_EQ(3u, infoCalls.size());
    EXPECT_EQ(4, infoCalls[1].a);
    EXPECT_EQ(0, infoCalls[1].b);
    EXPECT_EQ(3, infoCalls[2].a);
    EXPECT_EQ(1, infoCalls[2].b);
}

TEST_F(SimDeviceTest, FailingInitReportsItsMessageCutToTheBuffer) {
    SimConfig config;
    simDefaultConfig(&config);
    std::string longError(127, 'e');
    strcpy(config.initError, longError.c_str());
    config.nameUnterminated = 1;
    TestDevice &device = registerDevice(config);
    IASIO *driver = load(device);
    ASSERT_NE(nullptr, driver);

    EXPECT_EQ(0, driver->init(nullptr));
    char text[130];
    memset(text, '#', sizeof text);
    driver->getErrorMessage(text);
    EXPECT_EQ(std::string(123, 'e'), std::string(text));
    EXPECT_EQ('#', text[124]);
    char name[33];
    memset(name, 0, sizeof name);
    driver->getDriverName(name);
    EXPECT_EQ(32u, strlen(name));
    driver->Release();
}

// Real drivers hand out their interface only under their class identifier, and a bare IUnknown
// face (three slots, one count) for IID_IUnknown: a host that asks for IID_IUnknown and calls
// slot 3 on what it got crashes. The counters also show what Wine's CoCreateInstance asks itself.
TEST_F(SimDeviceTest, DriverInterfaceOnlyUnderTheClassAndABareUnknownFace) {
    SimConfig config;
    simDefaultConfig(&config);
    TestDevice &device = registerDevice(config);
    const SimShared *shared = device.shared;
    IASIO *driver = load(device);
    ASSERT_NE(nullptr, driver);
    // CoCreateInstance(clsid, ..., clsid): Wine asks the factory for the class once and adds no
    // request of its own, neither IID_IUnknown nor a query of the object.
    EXPECT_EQ(1, shared->createForClsid);
    EXPECT_EQ(0, shared->createForUnknown);
    EXPECT_EQ(0, shared->createForOther);
    EXPECT_EQ(0, shared->queryForClsid);
    EXPECT_EQ(0, shared->queryForUnknown);
    EXPECT_EQ(0, shared->queryForOther);

    IUnknown *face = nullptr;
    ASSERT_EQ(S_OK, driver->QueryInterface(IID_IUnknown, (void **)&face));
    ASSERT_NE(nullptr, face);
    EXPECT_NE((void *)driver, (void *)face);
    EXPECT_NE(*(void **)driver, *(void **)face) << "a vtable of its own";
    IUnknown *again = nullptr;
    EXPECT_EQ(S_OK, face->QueryInterface(IID_IUnknown, (void **)&again));
    EXPECT_EQ(face, again);
    IASIO *back = nullptr;
    EXPECT_EQ(S_OK, face->QueryInterface(device.clsid, (void **)&back));
    EXPECT_EQ(driver, back);
    void *other = (void *)1;
    EXPECT_EQ(E_NOINTERFACE, face->QueryInterface(IID_IClassFactory, &other));
    EXPECT_EQ(nullptr, other);
    EXPECT_EQ(E_NOINTERFACE, driver->QueryInterface(IID_IDispatch, &other));
    EXPECT_EQ(2, shared->queryForUnknown);
    EXPECT_EQ(1, shared->queryForClsid);
    EXPECT_EQ(2, shared->queryForOther);
    // One count for both faces: the object lives until the last reference through either.
    EXPECT_EQ(3u, again->Release());
    EXPECT_EQ(2u, back->Release());
    EXPECT_EQ(1u, driver->Release());
    EXPECT_EQ(1, shared->instancesAlive);
    EXPECT_EQ(0u, face->Release());
    EXPECT_EQ(0, shared->instancesAlive);

    void *object = nullptr;
    EXPECT_EQ(S_OK, CoCreateInstance(device.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                     &object));
    EXPECT_EQ(1, shared->createForUnknown);
    if (object)
        ((IUnknown *)object)->Release();
    object = nullptr;
    EXPECT_EQ(E_NOINTERFACE, CoCreateInstance(device.clsid, nullptr, CLSCTX_INPROC_SERVER,
                                              IID_IClassFactory, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(1, shared->createForOther);
    EXPECT_EQ(2, shared->instancesCreated) << "nothing made for an interface it refuses";

    HMODULE dll = LoadLibraryA(simDllPath().c_str());
    ASSERT_NE(nullptr, dll);
    using GetClassObject = HRESULT(WINAPI *)(REFCLSID, REFIID, void **);
    auto getClassObject = reinterpret_cast<GetClassObject>(
        reinterpret_cast<void *>(GetProcAddress(dll, "DllGetClassObject")));
    ASSERT_NE(nullptr, getClassObject);
    CLSID unknown;
    CoCreateGuid(&unknown);
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, getClassObject(unknown, IID_IClassFactory, &object));
    FreeLibrary(dll);
}

TEST_F(SimDeviceTest, SilentControlPanelAppliesItsChangesForTheNextInstance) {
    SimConfig config, changed;
    simDefaultConfig(&config);
    config.panelDelayMs = 100;
    changed = config;
    changed.preferredSize = 512;
    strcpy(changed.sampleRate, "96000");
    TestDevice &device = registerDevice(config);
    ASSERT_EQ(0, simSetPanelChanges(device.clsidText.c_str(), &config, &changed));
    IASIO *first = load(device);
    ASSERT_NE(nullptr, first);

    DWORD before = GetTickCount();
    EXPECT_EQ(ASE_OK, first->controlPanel());
    EXPECT_GE(GetTickCount() - before, 90u);
    IASIO *second = load(device);
    ASSERT_NE(nullptr, second);
    long minSize, maxSize, preferred, granularity;
    double rate = 0;
    second->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
    second->getSampleRate(&rate);
    EXPECT_EQ(512, preferred);
    EXPECT_EQ(96000.0, rate);
    EXPECT_EQ(2048, maxSize);
    first->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
    EXPECT_EQ(256, preferred);
    second->Release();
    first->Release();
}

TEST_F(SimDeviceTest, ControlPanelWindowSavesTheChosenBufferSize) {
    SimConfig config;
    simDefaultConfig(&config);
    config.panelShowsWindow = 1;
    strcpy(config.driverName, "Panel Test Sim");
    TestDevice &device = registerDevice(config);
    IASIO *driver = load(device);
    ASSERT_NE(nullptr, driver);
    driver->init(nullptr);

    // A person at the window: finds it, reads it, types a size and presses OK.
    std::string description;
    std::thread person([&description] {
        // Visible only once the dialog has been filled in.
        HWND window = nullptr;
        for (int i = 0; i < 1000 && !(window && IsWindowVisible(window)); i++) {
            Sleep(20);
            window = FindWindowA(nullptr, "Panel Test Sim settings");
        }
        if (!window)
            return;
        char text[512] = {};
        GetDlgItemTextA(window, 100, text, sizeof text);
        description = text;
        SetDlgItemTextA(window, 101, "512");
        PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    });
    EXPECT_EQ(ASE_OK, driver->controlPanel());
    person.join();
    EXPECT_NE(std::string::npos, description.find("Inputs: 2")) << description;
    EXPECT_NE(std::string::npos, description.find("64 to 2048")) << description;
    SimConfig saved;
    ASSERT_EQ(0, simReadConfig(device.clsidText.c_str(), &saved));
    EXPECT_EQ(512, saved.preferredSize);
    driver->Release();
}

TEST_F(SimDeviceTest, SharedRecordOutlivesTheObjectAndCountsEveryCall) {
    SimConfig config;
    simDefaultConfig(&config);
    strcpy(config.sampleRate, "nan");
    TestDevice &device = registerDevice(config);
    char name[80];
    simSharedName("{abcdef01-2345-6789-abcd-ef0123456789}", name, sizeof name);
    EXPECT_STREQ("QuorvelSim-{ABCDEF01-2345-6789-ABCD-EF0123456789}", name);

    IASIO *driver = load(device);
    ASSERT_NE(nullptr, driver);
    driver->init((void *)GetDesktopWindow());
    double rate = 0;
    driver->getSampleRate(&rate);
    EXPECT_TRUE(isnan(rate));
    const int extra = SIM_MAX_CALLS + 10;
    for (int i = 0; i < extra; i++)
        driver->getDriverVersion();
    driver->Release();
    IASIO *second = load(device);
    ASSERT_NE(nullptr, second);
    second->Release();

    const SimShared *shared = device.shared;
    EXPECT_EQ((uint32_t)SIM_SHARED_MAGIC, shared->magic);
    EXPECT_EQ(2, shared->instancesCreated);
    EXPECT_EQ(0, shared->instancesAlive);
    EXPECT_EQ(3 + extra + 1 + 2, shared->callCount);
    EXPECT_EQ(SIM_CREATED, shared->calls[0].op);
    EXPECT_EQ(1, shared->calls[0].instance);
    EXPECT_EQ(SIM_INIT, shared->calls[1].op);
    EXPECT_EQ(1, shared->calls[1].a);
    EXPECT_EQ(SIM_GET_SAMPLE_RATE, shared->calls[2].op);
    EXPECT_EQ(SIM_GET_DRIVER_VERSION, shared->calls[SIM_MAX_CALLS - 1].op);

    // A second opener sees the same record; reset clears it but keeps it recognisable.
    HANDLE mapping;
    SimShared *again = simOpenShared(device.clsidText.c_str(), true, &mapping);
    ASSERT_NE(nullptr, again);
    EXPECT_EQ(0, shared->callCount);
    EXPECT_EQ((uint32_t)SIM_SHARED_MAGIC, shared->magic);
    simCloseShared(again, mapping);
}
