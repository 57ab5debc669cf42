// Start-up: time from process start to a filled driver list, for 1, 10 and 100 registered drivers
// against 1,000, 10,000 and 50,000 keys under HKEY_CLASSES_ROOT\clsid; and the registry scan alone,
// in this process, for the same setups.
//
//     startup_bench [--quick]
//
// It clears HKLM\SOFTWARE\ASIO of the prefix it runs in and leaves it empty: run it in a prefix
// of its own. --quick stops at 10,000 keys and times each setup once. Exit code 0, or 1 when the
// program or the scan did not list the drivers it should have.
#include "bench/bench_clock.h"
#include "bench/bench_program.h"
#include "bench/bench_registry.h"
#include "drivers/driver_list.h"

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>

namespace {

const long DRIVER_COUNTS[] = {1, 10, 100};
const long KEY_COUNTS[] = {1000, 10000, 50000};
// No further run once the runs of a setup have taken this long: 100 drivers among 50,000 keys
// take minutes.
const double REPEAT_BUDGET_US = 20e6;
const DWORD LIST_TIMEOUT_MS = 30 * 60 * 1000;

struct Settings {
    int runs;
    long largestKeys;
};

// Microseconds from CreateProcess to a visible dialog whose list holds `drivers` items. The list
// is filled while the dialog initialises, before it shows: a visible dialog has its whole list.
// -1 when the list came out otherwise or the dialog never showed.
double timeProgramStart(long drivers)
{
    BenchProgram run;
    int64_t start = benchTicks();
    if (!launchProgram(&run))
        return -1;
    double us = -1;
    DWORD started = GetTickCount();
    while (GetTickCount() - started < LIST_TIMEOUT_MS && !programEnded(&run)) {
        run.dialog = findDialog(&run);
        if (run.dialog) {
            long items = driverItemCount(run.dialog);
            if (items == drivers)
                us = benchMicroseconds(benchTicks() - start);
            else
                printf("(the program listed %ld drivers, not %ld)\n", items, drivers);
            break;
        }
        Sleep(2);
    }
    closeProgram(&run);
    return us;
}

// Microseconds of one scanDrivers call; -1 when it did not find `drivers` drivers.
double timeScan(long drivers)
{
    DriverList list = {};
    int64_t start = benchTicks();
    scanDrivers(&list);
    double us = benchMicroseconds(benchTicks() - start);
    bool right = list.count == drivers;
    while (list.head) {
        DriverEntry *next = list.head->next;
        free(list.head);
        list.head = next;
    }
    return right ? us : -1;
}

// Median of up to `runs` runs; a failed run makes the result -1.
double repeat(double (*timed)(long), long drivers, int runs)
{
    double values[8];
    double spent = 0;
    int done = 0;
    while (done < runs && done < 8 && spent < REPEAT_BUDGET_US) {
        double us = timed(drivers);
        if (us < 0)
            return -1;
        values[done++] = us;
        spent += us;
    }
    return benchMedian(values, done);
}

void printMs(double us)
{
    if (us < 0)
        printf(" FAILED |");
    else
        printf(" %.0f |", us / 1000);
}

// Registers the drivers, times the program and the scan, prints a row, removes the drivers.
// False when a figure could not be had.
bool measureSetup(long drivers, const Settings &settings)
{
    std::string server = simDllPath();
    std::vector<std::string> clsids;
    for (long i = 0; i < drivers; i++) {
        char name[64];
        snprintf(name, sizeof name, "Bench Driver %03ld", i + 1);
        clsids.push_back(markedClsid(DRIVER_MARK));
        addDriver(name, clsids.back(), server);
    }
    long keys = countClassesRootKeys();
    long long read = keysReadByScan(clsids);

    double programUs = repeat(timeProgramStart, drivers, settings.runs);
    double scanUs = repeat(timeScan, drivers, settings.runs);

    printf("| %ld | %ld | %lld | %.0f%% |", drivers, keys, read,
           drivers ? 100.0 * read / drivers / keys : 0.0);
    printMs(programUs);
    printMs(scanUs);
    if (read > 0 && scanUs >= 0)
        printf(" %.1f |\n", scanUs / read);
    else
        printf(" - |\n");

    clearAsioKey();
    removeMarkedClasses(DRIVER_MARK);
    return programUs >= 0 && scanUs >= 0;
}

}  // namespace

int main(int argc, char **argv)
{
    Settings settings = {3, 50000};
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--quick") == 0) {
            settings.runs = 1;
            settings.largestKeys = 10000;
        } else {
            fprintf(stderr, "usage: startup_bench [--quick]\n");
            return 2;
        }
    }
    setvbuf(stdout, nullptr, _IONBF, 0);

    // What an aborted run left.
    clearAsioKey();
    removeMarkedClasses(DRIVER_MARK);
    removeMarkedClasses(FILLER_MARK);
    long base = countClassesRootKeys();
    if (base != countMachineClassKeys())
        printf("Note: HKCR\\clsid has %ld keys, HKLM\\Software\\Classes\\CLSID %ld: the filler keys "
               "may not be where the program looks.\n\n", base, countMachineClassKeys());

    printf("### Start-up: process start to a filled driver list (%s build)\n\n",
           sizeof(void *) == 8 ? "x64" : "x86");
    printf("Program: CreateProcess to the dialog showing with every driver listed. Scan: "
           "scanDrivers in the benchmark's process. Median of up to %d runs (no further run once "
           "the runs have taken %.0f s). The prefix has %ld class keys of its own; filler keys make up "
           "the rest.\n\n", settings.runs, REPEAT_BUDGET_US / 1e6, base);
    printf("| drivers | keys under HKCR\\clsid | keys read by the scan | mean place of a driver's "
           "key | program start to filled list, ms | scan alone, ms | scan us per key read |\n");
    printf("|---:|---:|---:|---:|---:|---:|---:|\n");

    bool ok = measureSetup(0, settings);
    std::vector<std::string> notes;
    long fillers = 0;
    for (long keys : KEY_COUNTS) {
        if (keys > settings.largestKeys)
            break;
        long wanted = keys - base - fillers;
        if (wanted > 0) {
            int64_t start = benchTicks();
            fillers += addFillerKeys(wanted);
            char note[128];
            snprintf(note, sizeof note, "%ld filler keys made in %.1f s.", wanted,
                     benchMicroseconds(benchTicks() - start) / 1e6);
            notes.push_back(note);
        }
        for (long drivers : DRIVER_COUNTS)
            ok = measureSetup(drivers, settings) && ok;
    }

    int64_t start = benchTicks();
    long removed = removeMarkedClasses(FILLER_MARK);
    printf("\n");
    for (const std::string &note : notes)
        printf("%s ", note.c_str());
    printf("%ld filler keys removed in %.1f s.\n", removed,
           benchMicroseconds(benchTicks() - start) / 1e6);
    return ok ? 0 : 1;
}
