#include "checker/checker.h"

#include <stdio.h>

int main(int argc, char **argv)
{
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

    switch (options.command) {
    case COMMAND_LIST: code = listCommand(options); break;
    case COMMAND_INFO: code = infoCommand(options); break;
    case COMMAND_RUN: code = runCommand(options); break;
    case COMMAND_LATENCY: code = latencyCommand(options); break;
    case COMMAND_NONE: break;
    }
    // A command that ended before its results still gives one document.
    if (options.json && code != EXIT_FINE && code != EXIT_CHECK_MISSED)
        printFailureDocument(options.command, code);
    fflush(stdout);
    return code;
}
