// The front end every command that loads a driver shares.
#include "checker/commands/commands.h"

#include <string.h>

int measureSession(const CheckerOptions &options, void *record, size_t size,
                   int (*session)(const CheckerOptions &), const char *arguments,
                   SessionOutcome *outcome)
{
    memset(record, 0, size);
    return runDriverSession(options, session, arguments, outcome);
}

int runDriverCommand(const CheckerOptions &options, MeasureCommand measure, ShowCommand writeDocument,
                     ShowCommand printText)
{
    loadDriverList();
    int index = 0;
    int code = findDriver(options.driver, &index);
    if (code != EXIT_FINE)
        return code;
    SessionOutcome outcome;
    code = measure(options, index, userArgumentText(), &outcome);
    if (options.json)
        writeDocument(options, index, outcome, code);
    else
        printText(options, index, outcome, code);
    if (!options.json)
        printDriverOutput();
    return code;
}
