#include "checker/checker.h"

#include "checker/json_writer.h"
#include "checker/output.h"
#include "checker/worker.h"

#include <stdio.h>

int main(int argc, char **argv)
{
    if (argc > 1 && isWorkerArgument(argv[1]))
        return workerMain(argc, argv);

    CheckerOptions options;
    int code = parseArguments(argc, argv, &options);
    if (code == EXIT_FINE && options.command == COMMAND_PROBE)
        code = fail(EXIT_USAGE, "unknown command \"probe\"; the commands are list, info, run, "
                    "latency, conform and integrity");
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
    switch (options.command) {
    case COMMAND_LIST: code = listCommand(options); break;
    case COMMAND_INFO: code = infoCommand(options); break;
    case COMMAND_RUN: code = runLoopbackCommand(options); break;
    case COMMAND_LATENCY: code = latencyCommand(options); break;
    case COMMAND_CONFORM: code = conformCommand(options); break;
    case COMMAND_INTEGRITY: code = integrityCommand(options); break;
    case COMMAND_REPORT: code = reportCommand(options); break;
    case COMMAND_PROBE:
    case COMMAND_NONE: break;
    }
    // A command that ended before its results still gives one document.
    if (options.json && !jsonDocumentWritten())
        printFailureDocument(options.command, code);
    fflush(stdout);
    return code;
}
