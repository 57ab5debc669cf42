// Start-up: time from process start to a filled driver list, for 1, 10 and 100 registered drivers
// against 1,000, 10,000 and 50,000 keys under HKEY_CLASSES_ROOT\clsid, with the drivers' classes at
// random places among the keys and at the end of their enumeration. Beside it, in this process:
// scanDrivers as shipped, and the enumeration alone (findServerPathByEnumeration for every
// driver's class), the way every class was found before the lookup by name.
//
//     startup_bench [--quick]
//
// It clears HKLM\SOFTWARE\ASIO of the prefix it runs in and leaves it empty: run it in a prefix
// of its own. --quick stops at 10,000 keys and times each setup once (the program seven times:
// one start costs a fraction of a second and varies by a tenth of one).
// Exit code 0, or 1 when the program or a lookup did not find the drivers it should have.
#include "bench/bench_clock.h"
#include "bench/bench_registry.h"
#include "drivers/driver_list.h"
#include "tests/support/testkit.h"

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>

namespace {

const long DRIVER_COUNTS[] = {1, 10, 100};
const long KEY_COUNTS[] = {1000, 10000, 50000};
// No further run once the runs of a setup have taken this long: the enumeration alone for 100
// drivers among 50,000 keys takes minutes.
const double REPEAT_BUDGET_US = 20e6;
const DWORD LIST_TIMEOUT_MS = 30 * 60 * 1000;

// The figures the targets are read from.
const long PER_DRIVER_KEYS = 10000;
const double PER_DRIVER_TARGET_MS = 10;
const long RATIO_KEYS = 50000;
const long RATIO_DRIVERS = 100;
const double RATIO_TARGET = 100;

struct Settings {
    int runs;
    int programRuns;
    long largestKeys;
};

enum Placement { RANDOM_PLACES, LAST_PLACES };
const char *const PLACEMENT_NAMES[] = {"random", "last"};

struct Setup {
    long drivers;
    std::vector<std::string> clsids;
};

struct Row {
    Placement placement;
    long drivers;
    long keys;
    double programUs;
    double scanUs;
    double enumerationUs;
};

// Microseconds from CreateProcess to a visible dialog whose list holds every driver. The list is
// filled while the dialog initialises, before it shows: a visible dialog has its whole list. -1
// when the list came out otherwise or the dialog never showed.
double timeProgramStart(const Setup &setup)
{
    ProgramRun run;
    int64_t start = benchTicks();
    if (!launchProgram(&run))
        return -1;
    double us = -1;
    DWORD started = GetTickCount();
    while (GetTickCount() - started < LIST_TIMEOUT_MS && !programEnded(&run)) {
        run.dialog = findDialog(&run);
        if (run.dialog) {
            long items = driverItemCount(run.dialog);
            if (items == setup.drivers)
                us = benchMicroseconds(benchTicks() - start);
            else
                printf("(the program listed %ld drivers, not %ld)\n", items, setup.drivers);
            break;
        }
        Sleep(2);
    }
    closeProgram(&run);
    return us;
}

// Microseconds of one scanDrivers call; -1 when it did not find every driver.
double timeScan(const Setup &setup)
{
    DriverList list = {};
    int64_t start = benchTicks();
    scanDrivers(&list);
    double us = benchMicroseconds(benchTicks() - start);
    bool right = list.count == setup.drivers;
    while (list.head) {
        DriverEntry *next = list.head->next;
        free(list.head);
        list.head = next;
    }
    return right ? us : -1;
}

// Microseconds of looking every driver's class up by enumeration; -1 when one was not found.
double timeEnumeration(const Setup &setup)
{
    // The texts as the scan has them, copied before the clock starts: the lookup lower-cases them.
    std::vector<std::vector<char>> texts;
    for (const std::string &clsid : setup.clsids)
        texts.emplace_back(clsid.c_str(), clsid.c_str() + clsid.size() + 1);
    char path[SERVER_PATH_SIZE + 1];
    bool right = true;
    int64_t start = benchTicks();
    for (std::vector<char> &text : texts)
        right = findServerPathByEnumeration(text.data(), path) == 0 && right;
    double us = benchMicroseconds(benchTicks() - start);
    return right ? us : -1;
}

// Median of up to `runs` runs; a failed run makes the result -1.
double repeat(double (*timed)(const Setup &), const Setup &setup, int runs)
{
    double values[8];
    double spent = 0;
    int done = 0;
    while (done < runs && done < 8 && spent < REPEAT_BUDGET_US) {
        double us = timed(setup);
        if (us < 0)
            return -1;
        values[done++] = us;
        spent += us;
    }
    return benchMedian(values, done);
}

void printMs(double us, int decimals)
{
    if (us < 0)
        printf(" FAILED |");
    else
        printf(" %.*f |", decimals, us / 1000);
}

// A class identifier that sorts after every other key: keys enumerate in name order.
std::string lastPlacedClsid()
{
    std::string clsid = markedClsid(DRIVER_MARK);
    return clsid.replace(1, 8, "FFFFFFFF");
}

// Registers the drivers, times the program, the scan and the enumeration, prints a row, removes
// the drivers.
Row measureSetup(Placement placement, long drivers, const Settings &settings)
{
    Setup setup = {drivers, {}};
    std::string server = simDllPath();
    for (long i = 0; i < drivers; i++) {
        char name[64];
        snprintf(name, sizeof name, "Bench Driver %03ld", i + 1);
        setup.clsids.push_back(placement == LAST_PLACES ? lastPlacedClsid()
                                                        : markedClsid(DRIVER_MARK));
        addDriver(name, setup.clsids.back(), server);
    }
    Row row = {placement, drivers, countClassesRootKeys(), -1, -1, -1};
    long long read = keysReadByScan(setup.clsids);

    row.programUs = repeat(timeProgramStart, setup, settings.programRuns);
    row.scanUs = repeat(timeScan, setup, settings.runs);
    row.enumerationUs = repeat(timeEnumeration, setup, settings.runs);

    printf("| %s | %ld | %ld | %lld | %.0f%% |", drivers ? PLACEMENT_NAMES[placement] : "-",
           drivers, row.keys, read, drivers ? 100.0 * read / drivers / row.keys : 0.0);
    printMs(row.programUs, 0);
    printMs(row.scanUs, 1);
    printMs(row.enumerationUs, 0);
    if (read > 0 && row.enumerationUs >= 0)
        printf(" %.1f |", row.enumerationUs / read);
    else
        printf(" - |");
    if (drivers && row.scanUs > 0 && row.enumerationUs >= 0)
        printf(" %.0f |\n", row.enumerationUs / row.scanUs);
    else
        printf(" - |\n");

    removeAsioKey();
    createAsioKey();
    removeMarkedClasses(DRIVER_MARK);
    return row;
}

const Row *findRow(const std::vector<Row> &rows, Placement placement, long keyCount, long drivers)
{
    for (const Row &row : rows) {
        // Rows carry the prefix's own keys and the drivers' as well: match the nearest count.
        if (row.placement == placement && row.drivers == drivers && row.keys >= keyCount &&
            row.keys < keyCount + 1000 && row.programUs >= 0 && row.scanUs >= 0)
            return &row;
    }
    return nullptr;
}

// Program start per driver beyond the first, from 1 to `drivers` drivers; -1 when not measured.
double perDriverMs(const std::vector<Row> &rows, Placement placement, long drivers)
{
    const Row *one = findRow(rows, placement, PER_DRIVER_KEYS, 1);
    const Row *many = findRow(rows, placement, PER_DRIVER_KEYS, drivers);
    if (!one || !many)
        return -1;
    return (many->programUs - one->programUs) / (drivers - 1) / 1000;
}

// The two targets, read from this run's rows. False when one was measured and missed.
bool printTargets(const std::vector<Row> &rows)
{
    bool met = true;
    printf("\nTargets:\n\n");
    for (Placement placement : {RANDOM_PLACES, LAST_PLACES}) {
        double toTen = perDriverMs(rows, placement, 10);
        double toHundred = perDriverMs(rows, placement, 100);
        if (toTen == -1 || toHundred == -1) {
            printf("- Per driver, classes at %s places: not measured.\n",
                   PLACEMENT_NAMES[placement]);
            continue;
        }
        bool ok = toTen < PER_DRIVER_TARGET_MS && toHundred < PER_DRIVER_TARGET_MS;
        met = met && ok;
        printf("- Program start, each driver beyond the first at %ld keys, classes at %s places: "
               "%.1f ms (1 to 10 drivers), %.1f ms (1 to 100); target under %.0f ms: %s.\n",
               PER_DRIVER_KEYS, PLACEMENT_NAMES[placement], toTen, toHundred,
               PER_DRIVER_TARGET_MS, ok ? "met" : "NOT MET");
    }
    for (Placement placement : {RANDOM_PLACES, LAST_PLACES}) {
        const Row *row = findRow(rows, placement, RATIO_KEYS, RATIO_DRIVERS);
        if (!row || row->enumerationUs < 0) {
            printf("- Enumeration alone against scanDrivers, %ld drivers x %ld keys, classes at %s "
                   "places: not measured.\n", RATIO_DRIVERS, RATIO_KEYS, PLACEMENT_NAMES[placement]);
            continue;
        }
        double ratio = row->enumerationUs / row->scanUs;
        bool ok = ratio >= RATIO_TARGET;
        met = met && ok;
        printf("- Enumeration alone against scanDrivers, %ld drivers x %ld keys, classes at %s "
               "places: %.0f ms against %.1f ms, %.0fx; target at least %.0fx: %s.\n",
               RATIO_DRIVERS, RATIO_KEYS, PLACEMENT_NAMES[placement], row->enumerationUs / 1000,
               row->scanUs / 1000, ratio, RATIO_TARGET, ok ? "met" : "NOT MET");
    }
    return met;
}

}  // namespace

int main(int argc, char **argv)
{
    Settings settings = {3, 7, 50000};
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
    removeAsioKey();
    createAsioKey();
    removeMarkedClasses(DRIVER_MARK);
    removeMarkedClasses(FILLER_MARK);
    long base = countClassesRootKeys();
    if (base != countMachineClassKeys())
        printf("Note: HKCR\\clsid has %ld keys, HKLM\\Software\\Classes\\CLSID %ld: the filler keys "
               "may not be where the program looks.\n\n", base, countMachineClassKeys());

    printf("### Start-up: process start to a filled driver list (%s build)\n\n",
           sizeof(void *) == 8 ? "x64" : "x86");
    printf("Program: CreateProcess to the dialog showing with every driver listed (median of up to "
           "%d runs). scanDrivers: the scan as shipped, in the benchmark's process. Enumeration "
           "alone: findServerPathByEnumeration for every driver's class, as the scan found them "
           "before. Median of up to %d runs, no further run once a figure's runs have taken %.0f s. "
           "The prefix has %ld class keys of its own; filler keys make up the rest. Classes at "
           "random places have random GUIDs; at the last places they start with {FFFFFFFF-.\n\n",
           settings.programRuns, settings.runs, REPEAT_BUDGET_US / 1e6, base);
    printf("| classes at | drivers | keys under HKCR\\clsid | keys the enumeration reads | mean place "
           "of a driver's class | program start to filled list, ms | scanDrivers, ms | enumeration "
           "alone, ms | enumeration us per key read | enumeration / scanDrivers |\n");
    printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");

    std::vector<Row> rows;
    rows.push_back(measureSetup(RANDOM_PLACES, 0, settings));
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
        for (Placement placement : {RANDOM_PLACES, LAST_PLACES}) {
            for (long drivers : DRIVER_COUNTS)
                rows.push_back(measureSetup(placement, drivers, settings));
        }
    }

    int64_t start = benchTicks();
    long removed = removeMarkedClasses(FILLER_MARK);
    printf("\n");
    for (const std::string &note : notes)
        printf("%s ", note.c_str());
    printf("%ld filler keys removed in %.1f s.\n", removed,
           benchMicroseconds(benchTicks() - start) / 1e6);

    bool ok = true;
    for (const Row &row : rows)
        ok = ok && row.programUs >= 0 && row.scanUs >= 0 && row.enumerationUs >= 0;
    bool met = printTargets(rows);
    if (!met)
        printf("\n**A target was not met.**\n");
    return ok ? 0 : 1;
}
