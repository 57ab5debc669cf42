// A soak's memory after 10^7 switches: the simulated device at 50 us a period (64 frames at
// 1.28 MHz, so that the rate it reports is the pace it keeps) streams under `quorvelcheck soak` for
// as long as 10^7 switches take (500 s; --quick: 10^6), and the worker's private memory at its
// first checkpoint is set against its last. The record the worker sends has one size, whatever the
// length; the worker's memory must not grow with it either.
//
//     soak_bench [--quick] [--switches N]
//
// Exit code 0, or 1 when the memory grew by more than 1 MiB or the soak did not run.
#include "simdevice/sim_device.h"
#include "tests/support/testkit.h"

#include <windows.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>

namespace {

const double PERIOD_US = 50;
const double GROWTH_ALLOWED = 1048576;

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

double jsonFigure(const std::string &text, const char *key)
{
    std::string quoted = std::string("\"") + key + "\": ";
    size_t at = text.find(quoted);
    return at == std::string::npos ? NAN : atof(text.c_str() + at + quoted.size());
}

}  // namespace

int main(int argc, char **argv)
{
    double switches = 1e7;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--quick") == 0) {
            switches = 1e6;
        } else if (strcmp(argv[i], "--switches") == 0 && i + 1 < argc) {
            switches = atof(argv[++i]);
        } else {
            fprintf(stderr, "usage: soak_bench [--quick] [--switches N]\n");
            return 2;
        }
    }
    SimConfig config;
    simDefaultConfig(&config);
    config.periodUs = static_cast<int32_t>(PERIOD_US);
    config.preferredSize = 64;
    snprintf(config.sampleRate, sizeof config.sampleRate, "%g", 64 / (PERIOD_US / 1e6));
    const char *name = "BenchSoak";
    std::string clsid = newClsidText();
    if (simRegisterDevice(name, clsid.c_str(), simDllPath().c_str(), &config) != 0) {
        fprintf(stderr, "soak_bench: the device could not be registered\n");
        return 1;
    }
    double seconds = switches * PERIOD_US / 1e6;
    char arguments[160];
    snprintf(arguments, sizeof arguments, "soak %s --seconds %g --checkpoint-seconds %g --json", name,
             seconds, seconds / 20 > 1 ? seconds / 20 : 1);
    std::string out = runChecker(arguments);
    simUnregisterDevice(name, clsid.c_str());
    double made = jsonFigure(out, "switches");
    double first = jsonFigure(out, "memory_first_bytes");
    double last = jsonFigure(out, "memory_last_bytes");
    double record = jsonFigure(out, "record_bytes");
    double checkpoints = jsonFigure(out, "checkpoints");
    printf("### A soak's memory (`soak` of %g s at %g us a period)\n\n", seconds, PERIOD_US);
    printf("| switches asked | switches made | checkpoints | record, bytes | worker's memory at the "
           "first checkpoint, MiB | at the last, MiB | growth, KiB |\n"
           "|---:|---:|---:|---:|---:|---:|---:|\n");
    printf("| %.0f | %.0f | %.0f | %.0f | %.1f | %.1f | %.0f |\n", switches, made, checkpoints, record,
           first / 1048576, last / 1048576, (last - first) / 1024);
    printf("\nThe memory is the worker's private bytes, or its working set where the system does not "
           "count them (Wine). A machine that cannot keep the device's pace makes fewer switches "
           "than asked in the time; the memory is what is judged.\n");
    bool ok = isfinite(made) && made >= 1000 && checkpoints >= 2 && isfinite(last - first) &&
              last - first <= GROWTH_ALLOWED;
    printf("\n%s\n", ok ? "Check: PASSED: the worker's memory grew by 1 MiB or less."
                        : "**Check: FAILED: the memory grew by more than 1 MiB, or the soak did not run.**");
    return ok ? 0 : 1;
}
