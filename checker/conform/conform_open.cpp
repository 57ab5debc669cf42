// The open phase: the driver created, initialised, named and created again.
#include "checker/conform/phases.h"

#include "drivers/driver_loading.h"
#include "engine/sample_types.h"

#include <stdio.h>
#include <string.h>

static const double SLOW_MS = 1000;

bool textWellFormed(const char *buffer, size_t room, size_t guard, char *why, size_t whySize,
                           bool mayBeEmpty)
{
    const char *end = static_cast<const char *>(memchr(buffer, '\0', room));
    for (size_t k = room; k < room + guard; k++) {
        if (buffer[k] != UNWRITTEN) {
            snprintf(why, whySize, "wrote past its %zu bytes", room);
            return false;
        }
    }
    if (!end) {
        snprintf(why, whySize, "no NUL within its %zu bytes (\"%.*s\")", room, static_cast<int>(room),
                 buffer);
        return false;
    }
    if (end == buffer && !mayBeEmpty) {
        snprintf(why, whySize, "an empty text");
        return false;
    }
    return true;
}

// Opens a fresh object of the driver for a phase; when that fails, every wanted check of the phase
// fails with the reason.
bool openForPhase(const CheckerOptions &options, int index, ConformPhase phase)
{
    if (openChosenDriver(index) == EXIT_FINE)
        return true;
    for (int c = 0; c < CHECK_COUNT; c++) {
        if (checkDefinitions[c].phase == phase && checkWanted(options, static_cast<ConformCheck>(c)))
            grade(static_cast<ConformCheck>(c), VERDICT_FAIL, "the phase could not open the driver: %s",
                  lastFailure());
    }
    closeChosenDriver();
    return false;
}

bool conformOpen(const CheckerOptions &options, int index)
{
    beginCheck(CHECK_OPEN_CREATE);
    int opened = openChosenDriver(index);
    if (!openedDriver.created) {
        grade(CHECK_OPEN_CREATE, VERDICT_FAIL, "%s", lastFailure());
        closeChosenDriver();
        return false;
    }
    if (openedDriver.createMs > SLOW_MS)
        grade(CHECK_OPEN_CREATE, VERDICT_WARN, "created in %.0f ms (over 1 s)", openedDriver.createMs);
    else
        grade(CHECK_OPEN_CREATE, VERDICT_PASS, "created in %.1f ms", openedDriver.createMs);
    gradeFigure(CHECK_OPEN_CREATE, openedDriver.createMs);

    beginCheck(CHECK_OPEN_INIT);
    if (opened != EXIT_FINE) {
        grade(CHECK_OPEN_INIT, VERDICT_FAIL, "init answered false after %.1f ms; getErrorMessage: \"%s\"",
              openedDriver.initMs, openedDriver.errorMessage);
        closeChosenDriver();
        return false;
    }
    if (openedDriver.initMs > SLOW_MS)
        grade(CHECK_OPEN_INIT, VERDICT_WARN, "initialised in %.0f ms (over 1 s)", openedDriver.initMs);
    else
        grade(CHECK_OPEN_INIT, VERDICT_PASS, "initialised in %.1f ms", openedDriver.initMs);
    gradeFigure(CHECK_OPEN_INIT, openedDriver.initMs);

    char why[160];
    if (checkWanted(options, CHECK_OPEN_NAME)) {
        beginCheck(CHECK_OPEN_NAME);
        char name[32 + 32];
        memset(name, UNWRITTEN, sizeof name);
        watchDriverCall("getDriverName()");
        activeDriver->getDriverName(name);
        watchDriverCall(nullptr);
        if (textWellFormed(name, 32, 32, why, sizeof why, false))
            grade(CHECK_OPEN_NAME, VERDICT_PASS, "\"%s\"", name);
        else
            grade(CHECK_OPEN_NAME, VERDICT_FAIL, "getDriverName gave %s", why);
    }
    if (checkWanted(options, CHECK_OPEN_ERROR_MESSAGE)) {
        beginCheck(CHECK_OPEN_ERROR_MESSAGE);
        char text[124 + 32];
        memset(text, UNWRITTEN, sizeof text);
        watchDriverCall("getErrorMessage()");
        activeDriver->getErrorMessage(text);
        watchDriverCall(nullptr);
        if (textWellFormed(text, 124, 32, why, sizeof why, true))
            grade(CHECK_OPEN_ERROR_MESSAGE, VERDICT_PASS, "\"%s\"", text);
        else
            grade(CHECK_OPEN_ERROR_MESSAGE, VERDICT_FAIL, "getErrorMessage gave %s", why);
    }
    closeChosenDriver();

    if (checkWanted(options, CHECK_OPEN_REOPEN)) {
        beginCheck(CHECK_OPEN_REOPEN);
        if (openChosenDriver(index) == EXIT_FINE)
            grade(CHECK_OPEN_REOPEN, VERDICT_PASS, "created and initialised again after the release");
        else
            grade(CHECK_OPEN_REOPEN, VERDICT_FAIL, "after the release: %s", lastFailure());
        closeChosenDriver();
    }
    return true;
}
