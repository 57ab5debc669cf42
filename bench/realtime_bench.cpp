// The real-time margin: the real program runs its loopback on the simulated device pacing in real
// time at 32 frames, 48 kHz and 192 kHz; the device's own figures give the longest callback
// against the period and the switches whose callback outlasted the period.
//
//     realtime_bench [--seconds N] [--pairs N]
//
// Exit code 0, or 1 when a run could not be made or the device saw a wrong copy.
#include "bench/bench_clock.h"
#include "res/resource.h"
#include "simdevice/sim_asio_abi.h"
#include "simdevice/sim_device.h"
#include "tests/support/testkit.h"

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>

namespace {

const char *RATES[] = {"48000", "192000"};
const int32_t FRAMES = 32;

struct Settings {
    int seconds;
    int32_t pairs;
};

// Starts the loopback on the device called `name`, lets it run, stops it. Returns the seconds it
// ran, or -1 when the program or the device did not do its part.
double runLoopback(const char *name, const Settings &settings, const SimShared *shared)
{
    ProgramRun run;
    if (!startProgram(&run)) {
        printf("(the program did not start)\n");
        return -1;
    }
    double seconds = -1;
    int item = findDriverItem(run.dialog, name);
    if (item >= 0) {
        chooseDriverItem(run.dialog, item);
        clickButton(run.dialog, IDC_START);
        int64_t start = benchTicks();
        if (controlText(run.dialog, IDC_START) == "Stop") {
            Sleep(settings.seconds * 1000);
            clickButton(run.dialog, IDC_START);
            seconds = benchMicroseconds(benchTicks() - start) / 1e6;
        }
    }
    if (seconds < 0)
        printf("(the device \"%s\" could not be started from the dialog)\n", name);
    closeProgram(&run);
    if (shared->runSwitches == 0)
        return -1;
    return seconds;
}

bool measureRate(const char *rate, const Settings &settings)
{
    SimConfig config;
    simDefaultConfig(&config);
    config.inputs = settings.pairs;
    config.outputs = settings.pairs;
    config.minSize = FRAMES;
    config.preferredSize = FRAMES;
    config.sampleType = SIM_ST_INT32_LSB;  // the commonest device format
    config.periodUs = 0;  // real time, from the size and the rate
    snprintf(config.sampleRate, sizeof config.sampleRate, "%s", rate);

    char name[64];
    snprintf(name, sizeof name, "Bench Real Time %s", rate);
    std::string clsid = newClsidText();
    if (simRegisterDevice(name, clsid.c_str(), simDllPath().c_str(), &config) != 0) {
        printf("(could not register the device)\n");
        return false;
    }
    HANDLE mapping = nullptr;
    SimShared *shared = simOpenShared(clsid.c_str(), true, &mapping);
    double seconds = shared ? runLoopback(name, settings, shared) : -1;
    bool ok = seconds > 0;
    if (ok) {
        double periodUs = FRAMES * 1e6 / atof(rate);
        double expected = seconds * 1e6 / periodUs;
        LONG switches = shared->runSwitches;
        LONG wrong = shared->mismatches + shared->sentinelViolations + shared->guardViolations;
        printf("| %s | %d | %.1f | %.0f | %ld | %.1f%% | %ld | %.0f%% | %ld | %.4f%% | %ld |\n",
               rate, FRAMES, periodUs, seconds, static_cast<long>(switches),
               100.0 * switches / expected, static_cast<long>(shared->longestCallbackUs),
               100.0 * shared->longestCallbackUs / periodUs, static_cast<long>(shared->lateSwitches),
               switches ? 100.0 * shared->lateSwitches / switches : 0.0, static_cast<long>(wrong));
        ok = wrong == 0;
    }
    simCloseShared(shared, mapping);
    simUnregisterDevice(name, clsid.c_str());
    return ok;
}

}  // namespace

int main(int argc, char **argv)
{
    Settings settings = {60, 8};
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            settings.seconds = atoi(argv[++i]);
        } else if (strcmp(argv[i], "--pairs") == 0 && i + 1 < argc) {
            settings.pairs = atoi(argv[++i]);
        } else {
            fprintf(stderr, "usage: realtime_bench [--seconds N] [--pairs N]\n");
            return 2;
        }
    }
    if (settings.seconds < 1 || settings.pairs < 1) {
        fprintf(stderr, "seconds and pairs must be positive\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IONBF, 0);

    printf("### Real-time margin: the program's loopback on the simulated device (%s build)\n\n",
           sizeof(void *) == 8 ? "x64" : "x86");
    printf("%d input and %d output channels, 4-byte samples, %d frames, %d s per rate. Figures "
           "from the device: switches made (and as a share of the switches the elapsed time "
           "holds), its longest callback, and the callbacks that took longer than the period; "
           "wrong bytes counts copies that differed from the input.\n\n",
           static_cast<int>(settings.pairs), static_cast<int>(settings.pairs),
           static_cast<int>(FRAMES), settings.seconds);
    printf("| rate, Hz | frames | period, us | seconds | switches | of expected | longest "
           "callback, us | of the period | late switches | late share | wrong bytes |\n");
    printf("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    bool ok = true;
    for (const char *rate : RATES)
        ok = measureRate(rate, settings) && ok;
    return ok ? 0 : 1;
}
