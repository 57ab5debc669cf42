// The general usage text (each command's own line from its CommandSpec) and the version.
#include "checker/base/base.h"

#include <stdio.h>

#ifndef QUORVEL_VERSION_TEXT
#define QUORVEL_VERSION_TEXT "unknown"
#endif

static const char *const generalHead =
    "quorvelcheck: checks an ASIO driver from the command line.\n"
    "\n"
    "usage: quorvelcheck COMMAND [DRIVER] [options]\n"
    "\n";

static const char *const generalMiddle =
    "\n"
    "DRIVER is an index as list shows it, or a part of a driver's name (any case) that only one\n"
    "name contains; a name equal to it as a whole is taken before names that contain it.\n"
    "\n"
    "Every command takes --json (one JSON document on stdout), --help and --version.\n"
    "The driver is loaded in a worker process, so that a driver that crashes, hangs, ends the\n"
    "process or writes over the worker's memory is reported, with the call it was in:\n";

// After the options of the worker (printSharedOptions).
static const char *const generalTail =
    "Exit status: 0 fine; 1 a check missed; 2 a usage error; 3 the driver could not be\n"
    "loaded, initialised or started (or the worker did not start); 4 the driver crashed, hung,\n"
    "ended the process or corrupted the worker; 5 interrupted (Ctrl+C or Ctrl+Break): the run\n"
    "ends, what was measured is shown, and a rate the command changed is set back; 6 the\n"
    "checker's own shortfall: no memory for what it measures, or input it fell behind on.\n"
    "Errors go to stderr, results to stdout; what the driver writes on its standard handles is\n"
    "shown apart, after the results.\n";

void printHelp(const CommandSpec *command)
{
    if (command && !command->hidden) {
        fputs(command->help, stdout);
        return;
    }
    fputs(generalHead, stdout);
    int count = 0;
    const CommandSpec *const *commands = programCommands(&count);
    for (int k = 0; k < count; k++) {
        if (!commands[k]->hidden)
            printf("  %-22s %s\n", commands[k]->synopsis, commands[k]->summary);
    }
    fputs(generalMiddle, stdout);
    printSharedOptions();
    fputs(generalTail, stdout);
}

void printVersion(bool json)
{
    if (json) {
        jsonBeginObject(nullptr);
        jsonHeader(nullptr);
        jsonEndObject();
        jsonFinish();
        return;
    }
    printf("quorvelcheck %s (%s)\n", QUORVEL_VERSION_TEXT, sizeof(void *) == 8 ? "x64" : "x86");
}
