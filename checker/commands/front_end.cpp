// The front end every command that loads a driver shares.
#include "checker/commands/commands.h"

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
    return code;
}
