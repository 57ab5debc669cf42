// The program's tables: every command, and every record a worker hands back. Adding a command is
// its own file, a line in each table that concerns it here, and its part of the documentation.
#include "checker/checker.h"

#include "checker/cycles/cycles.h"
#include "checker/report/report.h"
#include "checker/soak/soak.h"

#include <stdio.h>

extern const CommandSpec listCommandSpec, infoCommandSpec, runCommandSpec, latencyCommandSpec,
    conformCommandSpec, integrityCommandSpec, reportCommandSpec, probeCommandSpec,
    restoreRateCommandSpec, secondHostCommandSpec, secondChangeCommandSpec, goneCommandSpec, goneBackCommandSpec,
    compareCommandSpec;

// In the order the help lists them; the probe is the worker's side of list --probe, restore-rate
// the new worker that sets a rate back after a session that could not, second-host conform's
// second program of the clients phase, second-change the notify phase's, gone-back a fresh try of gone's to open the driver again,
// cycles-run a worker of cycles'.
static const CommandSpec *const commands[] = {
    &listCommandSpec, &infoCommandSpec, &runCommandSpec, &latencyCommandSpec,
    &conformCommandSpec, &integrityCommandSpec, &reportCommandSpec, &goneCommandSpec,
    &cyclesCommandSpec, &soakCommandSpec, &compareCommandSpec,
    &probeCommandSpec,
    &restoreRateCommandSpec, &secondHostCommandSpec, &secondChangeCommandSpec, &goneBackCommandSpec,
    &cyclesRunCommandSpec,
};

// Every record a worker sends, each with the check a copy gets when it arrives (its entry stands
// beside its definition).
static const RecordSpec *const records[] = {
    &openedDriverRecord, &callNotesRecord, &infoRecord, &runRecord, &latencyRecord, &sweepRecord,
    &integrityRecord, &routingRecord, &conformRecord, &rateRestoreRecord, &secondHostRecord,
    &goneRecord, &goneBackRecord, &soakRecord, &cyclesWorkerRecord,
};

void useProgramTables()
{
    useCommands(commands, sizeof commands / sizeof commands[0]);
    useRecords(records, sizeof records / sizeof records[0]);
}

int checkerMain(int argc, char **argv)
{
    useProgramTables();
    if (argc > 1 && isWorkerArgument(argv[1]))
        return workerMain(argc, argv);

    CheckerOptions options;
    int code = parseArguments(argc, argv, &options);
    if (code != EXIT_FINE) {
        if (options.json)
            printFailureDocument(options.command, code);
        return code;
    }
    if (options.help) {
        printHelp(options.command);
        return EXIT_FINE;
    }
    if (options.version) {
        printVersion(options.json);
        return EXIT_FINE;
    }
    userArguments(argc, argv);
    code = options.command->run(options);
    // A command that ended before its results still gives one document.
    if (options.json && !jsonDocumentWritten())
        printFailureDocument(options.command, code);
    fflush(stdout);
    return code;
}
