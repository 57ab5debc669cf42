// quorvelcheck list: the drivers the dialog lists and the keys it skips; with --probe, each driver
// loaded and initialised in a worker of its own.
#include "checker/commands/commands.h"

#include "drivers/driver_list.h"

#include <windows.h>
#include <objbase.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// One key under software\asio as the scan saw it; `index` is its place in the list, -1 if skipped.
struct ListedKey {
    char keyName[DRIVER_NAME_SIZE];
    DriverKeyReport report;
    int index;
    bool clsidParses;
    bool serverExists;
};

// What loading, initialising and releasing one driver in a worker of its own gave.
struct Probe {
    OpenedDriver driver;
    SessionOutcome outcome;
    int status;
};

struct ListResults {
    ListedKey *keys;
    int keyCount;
    int notExamined;  // subkeys after a name the enumeration could not read
    bool asioKeyFound;
    Probe *probes;    // per list index, with --probe
};

static const char *verdictCode(DriverKeyVerdict verdict)
{
    switch (verdict) {
    case DRIVER_KEY_LISTED: return "listed";
    case DRIVER_KEY_NOT_OPENED: return "key_not_opened";
    case DRIVER_KEY_NO_CLSID: return "no_clsid";
    case DRIVER_KEY_CLASS_NOT_REGISTERED: return "class_not_registered";
    case DRIVER_KEY_NO_SERVER: return "no_inprocserver32";
    }
    return "";
}

static void verdictText(const ListedKey &key, char *out, size_t size)
{
    switch (key.report.verdict) {
    case DRIVER_KEY_NOT_OPENED:
        snprintf(out, size, "the key cannot be opened for reading");
        break;
    case DRIVER_KEY_NO_CLSID:
        snprintf(out, size, "no readable \"clsid\" value");
        break;
    case DRIVER_KEY_CLASS_NOT_REGISTERED:
        snprintf(out, size, "class %s is not registered under HKEY_CLASSES_ROOT\\CLSID",
                 key.report.clsidText);
        break;
    case DRIVER_KEY_NO_SERVER:
        snprintf(out, size, "class %s has no InprocServer32 key or no server path in it",
                 key.report.clsidText);
        break;
    case DRIVER_KEY_LISTED:
        snprintf(out, size, "listed");
        break;
    }
}

// COM loads the server as LoadLibrary would: environment strings expanded, then the usual search.
static bool serverExists(const char *path)
{
    char expanded[MAX_PATH * 2];
    char found[MAX_PATH * 2];
    if (ExpandEnvironmentStringsA(path, expanded, sizeof expanded) == 0)
        return false;
    return SearchPathA(nullptr, expanded, nullptr, sizeof found, found, nullptr) != 0;
}

static bool clsidParses(const char *text)
{
    WCHAR wide[100];
    CLSID clsid;
    return MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 100) != 0 &&
           CLSIDFromString(wide, &clsid) == S_OK;
}

// Walks software\asio as scanDrivers does, examining every key the same way.
static void examineKeys(ListResults *r)
{
    HKEY asioKey = nullptr;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "software\\asio", &asioKey) != ERROR_SUCCESS)
        return;
    r->asioKeyFound = true;
    DWORD subkeys = 0;
    RegQueryInfoKeyA(asioKey, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                     nullptr, nullptr, nullptr, nullptr);
    r->keys = static_cast<ListedKey *>(calloc(subkeys + 1, sizeof(ListedKey)));
    int listed = 0;
    char keyName[DRIVER_NAME_SIZE];
    for (DWORD i = 0; r->keys && i < subkeys &&
                      RegEnumKeyA(asioKey, i, keyName, sizeof keyName) == ERROR_SUCCESS; i++) {
        ListedKey &key = r->keys[r->keyCount++];
        memcpy(key.keyName, keyName, sizeof keyName);
        examineDriverKey(asioKey, keyName, &key.report);
        key.index = key.report.verdict == DRIVER_KEY_LISTED ? listed++ : -1;
        key.clsidParses = clsidParses(key.report.clsidText);
        key.serverExists = key.report.verdict == DRIVER_KEY_LISTED && serverExists(key.report.path);
    }
    r->notExamined = static_cast<int>(subkeys) - r->keyCount;
    RegCloseKey(asioKey);
}

static bool wow64()
{
    BOOL emulated = FALSE;
    return IsWow64Process(GetCurrentProcess(), &emulated) && emulated;
}

static const char *viewText()
{
    if (sizeof(void *) == 8) {
        return "64-bit registry view (HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO); "
               "quorvelcheck.exe list shows the 32-bit drivers";
    }
    if (wow64()) {
        return "32-bit registry view (HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\ASIO); "
               "quorvelcheck64.exe list shows the 64-bit drivers";
    }
    return "32-bit registry (HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO); this system has no other view";
}

static void probeText(const Probe &p, char *out, size_t size)
{
    const OpenedDriver &d = p.driver;
    if (p.outcome.end == SESSION_CRASHED || p.outcome.end == SESSION_EXITED ||
        p.outcome.end == SESSION_NOT_STARTED) {
        snprintf(out, size, "%s", p.outcome.text);
    } else if (p.outcome.end == SESSION_HUNG) {
        snprintf(out, size, "hung: %s", p.outcome.text);
    } else if (!d.created) {
        char reason[320];
        snprintf(out, size, "does not load: creating its COM object answered %s",
                 comResultText(d.createResult, reason, sizeof reason));
    } else if (!d.initialised) {
        snprintf(out, size, "loads in %.1f ms; init failed after %.1f ms, its message: %s",
                 d.createMs, d.initMs, d.errorMessage);
    } else {
        snprintf(out, size, "loads in %.1f ms, initialises in %.1f ms: \"%s\", version %ld",
                 d.createMs, d.initMs, d.name, d.version);
    }
}

// The first key from `from` on that was skipped (no driver of the list); keyCount when none is.
static int nextSkipped(const ListResults &r, int from)
{
    while (from < r.keyCount && r.keys[from].index >= 0)
        from++;
    return from;
}

static void printListText(const ListResults &r)
{
    int count = driverList ? driverList->count : 0;
    printf("Registry: %s\n", viewText());
    printf("Drivers: %d\n", count);
    for (int k = 0; k < r.keyCount; k++) {
        const ListedKey &key = r.keys[k];
        char name[DISPLAY_NAME_SIZE] = "";
        if (key.index < 0 || getEntryName(key.index, name) != 0)
            continue;
        printf("  %d  %s\n", key.index, name);
        printf("       key: %s\n", key.keyName);
        printf("       class: %s%s\n", key.report.clsidText,
               key.clsidParses ? "" : " (not a class identifier: loading it will fail)");
        printf("       server: %s (%s)\n", key.report.path,
               key.serverExists ? "exists" : "file not found");
        if (r.probes) {
            char line[400];
            probeText(r.probes[key.index], line, sizeof line);
            printf("       probe: %s\n", line);
        }
    }
    int skipped = r.keyCount - count;
    printf("Skipped keys: %d\n", skipped > 0 ? skipped : 0);
    for (int k = nextSkipped(r, 0); k < r.keyCount; k = nextSkipped(r, k + 1)) {
        const ListedKey &key = r.keys[k];
        char reason[400];
        verdictText(key, reason, sizeof reason);
        printf("  %s: %s\n", key.keyName, reason);
    }
    if (r.notExamined > 0) {
        printf("Keys not examined: %d (the scan stops at a key name of 128 characters or more)\n",
               r.notExamined);
    }
    if (!r.asioKeyFound)
        printf("There is no SOFTWARE\\ASIO key in this registry view.\n");
}

static void jsonProbe(const Probe &p)
{
    const OpenedDriver &d = p.driver;
    bool finished = p.outcome.end == SESSION_FINISHED;
    char reason[320];
    jsonBeginObject("probe");
    jsonBool("loads", finished && d.created);
    jsonText("create_result", finished && !d.created ? comResultText(d.createResult, reason,
                                                                     sizeof reason)
                                                     : nullptr);
    jsonNumber("create_ms", d.created ? d.createMs : NAN);
    jsonBool("initialises", finished && d.initialised);
    jsonNumber("init_ms", d.created ? d.initMs : NAN);
    jsonText("error_message", finished && d.created && !d.initialised ? d.errorMessage : nullptr);
    jsonText("driver_name", d.initialised ? d.name : nullptr);
    if (d.initialised)
        jsonInteger("driver_version", d.version);
    else
        jsonNull("driver_version");
    jsonInteger("status", p.status);
    jsonSessionOutcome(p.outcome);
    jsonEndObject();
}

static void writeListDocument(const CheckerOptions &options, const ListResults &r, int exitCode)
{
    jsonBeginObject(nullptr);
    jsonHeader(options.command);
    jsonBeginObject("registry");
    jsonInteger("view_bits", sizeof(void *) == 8 ? 64 : 32);
    jsonText("view", viewText());
    jsonBool("asio_key_found", r.asioKeyFound);
    jsonEndObject();
    jsonBeginArray("drivers");
    for (int k = 0; k < r.keyCount; k++) {
        const ListedKey &key = r.keys[k];
        char name[DISPLAY_NAME_SIZE] = "";
        if (key.index < 0 || getEntryName(key.index, name) != 0)
            continue;
        jsonBeginObject(nullptr);
        jsonInteger("index", key.index);
        jsonText("name", name);
        jsonText("key", key.keyName);
        jsonText("clsid", key.report.clsidText);
        jsonBool("clsid_valid", key.clsidParses);
        jsonText("server", key.report.path);
        jsonBool("server_exists", key.serverExists);
        if (r.probes)
            jsonProbe(r.probes[key.index]);
        jsonEndObject();
    }
    jsonEndArray();
    jsonBeginArray("skipped");
    for (int k = nextSkipped(r, 0); k < r.keyCount; k = nextSkipped(r, k + 1)) {
        const ListedKey &key = r.keys[k];
        char reason[400];
        verdictText(key, reason, sizeof reason);
        jsonBeginObject(nullptr);
        jsonText("key", key.keyName);
        jsonText("reason", verdictCode(key.report.verdict));
        jsonText("clsid", key.report.verdict == DRIVER_KEY_NO_CLSID ||
                                  key.report.verdict == DRIVER_KEY_NOT_OPENED
                              ? nullptr
                              : key.report.clsidText);
        jsonText("text", reason);
        jsonEndObject();
    }
    jsonEndArray();
    jsonInteger("keys_not_examined", r.notExamined > 0 ? r.notExamined : 0);
    if (options.probe)
        jsonDriverOutput();
    jsonInteger("exit_code", exitCode);
    jsonEndObject();
    jsonFinish();
}

static int probeSession(const CheckerOptions &options);

// The worker's side of list --probe: one driver, by its index. Never on a user's command line.
static int probeRules(CheckerOptions *o, const ArgumentFacts &facts)
{
    int code = requireDriver(o, facts);
    o->probeIndex = o->driver ? atoi(o->driver) : 0;
    return code;
}

extern const CommandSpec probeCommandSpec = {
    "probe", "probe INDEX", "", "", WORKER_OPTIONS, true, probeRules, nullptr, probeSession,
};

// Each driver in a worker of its own: one that crashes or hangs is reported and the next is probed.
static int probeDrivers(const CheckerOptions &options, ListResults *r)
{
    int count = driverList ? driverList->count : 0;
    r->probes = static_cast<Probe *>(calloc(count > 0 ? count : 1, sizeof(Probe)));
    if (!r->probes)
        return fail(EXIT_SHORTFALL, "the checker has no memory for the probes of %d drivers", count);
    int worst = EXIT_FINE;
    for (int i = 0; i < count; i++) {
        Probe &probe = r->probes[i];
        memset(&openedDriver, 0, sizeof openedDriver);
        char arguments[64];
        snprintf(arguments, sizeof arguments, "probe %d --call-timeout %g", i, options.callTimeout);
        CheckerOptions one = options;
        one.command = &probeCommandSpec;
        one.probeIndex = i;
        probe.status = runDriverSession(one, probeSession, arguments, &probe.outcome);
        probe.driver = openedDriver;
        worst = worseStatus(worst, probe.status);
    }
    return worst;
}

static int probeSession(const CheckerOptions &options)
{
    loadDriverList();
    int code = openChosenDriver(options.probeIndex);
    closeChosenDriver();
    return code;
}

static int listCommand(const CheckerOptions &options)
{
    loadDriverList();
    ListResults r = {};
    examineKeys(&r);
    int code = options.probe ? probeDrivers(options, &r) : EXIT_FINE;
    if (options.json)
        writeListDocument(options, r, code);
    else
        printListText(r);
    if (!options.json && options.probe)
        printDriverOutput();
    free(r.keys);
    free(r.probes);
    return code;
}

static int listRules(CheckerOptions *o, const ArgumentFacts &facts)
{
    if (facts.driver)
        return fail(EXIT_USAGE, "list takes no DRIVER; unexpected argument \"%s\"", facts.driver);
    if (facts.given[OPTION_CALL_TIMEOUT] && !o->probe)
        return fail(EXIT_USAGE, "list takes --call-timeout only with --probe");
    return EXIT_FINE;
}

static const char *const listHelp =
    "usage: quorvelcheck list [--probe [--call-timeout S]] [--json]\n"
    "\n"
    "Every driver the dialog would list, in its order and with its name, with its class, server\n"
    "path, whether that file exists and the registry view searched; then every key under\n"
    "SOFTWARE\\ASIO that the scan skipped, and why.\n"
    "\n"
    "  --probe                load, initialise and release each driver, each in a worker of its\n"
    "                         own: whether it loads (the COM result otherwise), initialises (its\n"
    "                         message otherwise), its name and version, the time to create and to\n"
    "                         initialise it, or the call it crashed or hung in\n";

extern const CommandSpec listCommandSpec = {
    "list", "list", "the drivers the dialog lists, and the registry keys it skips", listHelp,
    WORKER_OPTIONS | OPTION_BIT(OPTION_PROBE), false, listRules, listCommand, nullptr,
};
