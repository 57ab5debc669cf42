// How exact the checker's figure of a driver's own cost is: the simulated device's switch thread
// spins a planted share of each period ("SpinPercent": 0, 10, 50, 100), `quorvelcheck run` reports
// the driver's share of one core, and the device counts its switch thread's processor time itself.
// The checker's callback runs on that thread, so the device's count less the callback's time is the
// figure the checker should report. A thread the machine held back spins less than planted: the
// device's count says how much it got.
//
//     cost_bench [--seconds N] [--runs N]
//
// Exit code 0, or 1 when a report is more than 5 points off the device's own count.
#include "bench/bench_clock.h"
#include "simdevice/sim_device.h"
#include "tests/support/testkit.h"

#include <windows.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>

namespace {

const int PLANTED[] = {0, 10, 50, 100};
const double TOLERANCE = 5;  // points of a core

// Runs the checker with `arguments`; its standard output, or "" when it could not be started.
std::string runChecker(const std::string &arguments)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd, writeEnd;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return "";
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    std::string line = "\"" + checkerPath() + "\" " + arguments;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                  &startup, &process);
    CloseHandle(writeEnd);
    std::string out;
    char chunk[4096];
    DWORD got;
    while (started && ReadFile(readEnd, chunk, sizeof chunk, &got, nullptr) && got > 0)
        out.append(chunk, got);
    CloseHandle(readEnd);
    if (started) {
        WaitForSingleObject(process.hProcess, INFINITE);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    return out;
}

// The number after "key": in a JSON text; NAN when it is not there.
double jsonFigure(const std::string &text, const char *key)
{
    std::string quoted = std::string("\"") + key + "\":";
    size_t at = text.find(quoted);
    return at == std::string::npos ? NAN : atof(text.c_str() + at + quoted.size());
}

struct Measured {
    double reported;  // the driver's share, % of one core, as the checker gives it
    double own;       // the device's count of its thread less the callback, the same way
};

// One run of a device spinning `planted` percent; false when it gave no figure.
bool measure(int planted, double seconds, Measured *m)
{
    SimConfig config;
    simDefaultConfig(&config);
    config.spinPercent = planted;
    char name[64];
    snprintf(name, sizeof name, "BenchCost%d", planted);
    std::string clsid = newClsidText();
    if (simRegisterDevice(name, clsid.c_str(), simDllPath().c_str(), &config) != 0)
        return false;
    HANDLE mapping = nullptr;
    SimShared *shared = simOpenShared(clsid.c_str(), true, &mapping);
    char arguments[128];
    snprintf(arguments, sizeof arguments, "run %s --seconds %g --json", name, seconds);
    std::string out = shared ? runChecker(arguments) : "";
    double window = jsonFigure(out, "window_ms");
    m->reported = jsonFigure(out, "driver_core_share");
    if (shared)
        m->own = (shared->switchThreadCpuUs / 1e3 - jsonFigure(out, "callback_ms")) / window * 100;
    simCloseShared(shared, mapping);
    simUnregisterDevice(name, clsid.c_str());
    return shared && isfinite(m->reported) && isfinite(m->own);
}

}  // namespace

int main(int argc, char **argv)
{
    double seconds = 10;
    int runs = 3;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = atof(argv[++i]);
        } else if (strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
            runs = atoi(argv[++i]);
        } else {
            fprintf(stderr, "usage: cost_bench [--seconds N] [--runs N]\n");
            return 2;
        }
    }
    if (runs < 1 || runs > 15)
        runs = 3;
    printf("### What the driver costs (`run` of %g s at 256 frames, 48 kHz; %d runs each)\n\n", seconds,
           runs);
    printf("| planted spin, %% of a core | checker's figure, median %% | device's own count, median %% "
           "| worst difference, points |\n|---:|---:|---:|---:|\n");
    bool ok = true;
    for (int planted : PLANTED) {
        double reported[15], own[15], worst = 0;
        int got = 0;
        for (int r = 0; r < runs; r++) {
            Measured m = {NAN, NAN};
            if (!measure(planted, seconds, &m))
                continue;
            reported[got] = m.reported;
            own[got] = m.own;
            worst = fmax(worst, fabs(m.reported - m.own));
            got++;
        }
        if (got < runs)
            ok = false;
        printf("| %d | %.1f | %.1f | %.1f |\n", planted, benchMedian(reported, got),
               benchMedian(own, got), worst);
        ok = ok && worst <= TOLERANCE;
    }
    printf("\n%s\n", ok ? "Check: PASSED: every figure within 5 points of the device's own count."
                        : "**Check: FAILED: a figure more than 5 points off, or a run without one.**");
    return ok ? 0 : 1;
}
