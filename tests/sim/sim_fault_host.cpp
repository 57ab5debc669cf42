// A host in a process of its own, for faults that end or hold the process: it makes every call of
// the driver interface once per session, in a fixed order, and exits 0 when all returned.
//     sim_fault_host {clsid} SESSIONS
// Exit 2 on a usage error, 3 when the object could not be made.
#include "sim_test_host.h"

#include <stdlib.h>

namespace {

void noSwitch(long, long) {}

ASIOCallbacks g_quiet = {noSwitch, nullptr, nullptr, nullptr};

void session(IASIO *driver) {
    char text[128];
    long a, b, c, d;
    double rate;
    driver->init(nullptr);
    driver->getDriverName(text);
    driver->getDriverVersion();
    driver->getErrorMessage(text);
    driver->getChannels(&a, &b);
    driver->getLatencies(&a, &b);
    driver->getBufferSize(&a, &b, &c, &d);
    driver->canSampleRate(48000);
    driver->getSampleRate(&rate);
    driver->setSampleRate(48000);
    ASIOClockSource clocks[2];
    a = 2;
    driver->getClockSources(clocks, &a);
    driver->setClockSource(0);
    ASIOChannelInfo info = {};
    driver->getChannelInfo(&info);
    ASIOBufferInfo infos[2] = {{1, 0, {}}, {0, 0, {}}};
    driver->createBuffers(infos, 2, 64, &g_quiet);
    driver->start();
    ASIOSamples position;
    ASIOTimeStamp stamp;
    driver->getSamplePosition(&position, &stamp);
    driver->outputReady();
    driver->stop();
    driver->disposeBuffers();
    driver->controlPanel();
    driver->future(1, nullptr);
    driver->Release();
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3)
        return 2;
    wchar_t wide[64];
    CLSID clsid;
    MultiByteToWideChar(CP_ACP, 0, argv[1], -1, wide, 64);
    if (FAILED(IIDFromString(wide, &clsid)))
        return 2;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    for (int i = 0; i < atoi(argv[2]); i++) {
        void *driver = nullptr;
        if (CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, clsid, &driver) != S_OK)
            return 3;
        session((IASIO *)driver);
    }
    CoUninitialize();
    return 0;
}
