// The open phase: the driver created, initialised, named and created again; and the opening of the
// object every other phase works on.
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

// Opens a fresh object of the driver for a phase, its opening charged to the phase's first wanted
// check; when that fails, every wanted check of the phase fails with the reason.
bool openForPhase(const CheckerOptions &, int index, ConformPhase phase)
{
    beginCheck(firstWantedCheck(phase));
    if (openChosenDriver(index) == EXIT_FINE)
        return true;
    for (int c = 0; c < CHECK_COUNT; c++) {
        if (checkDefinitions[c].phase == phase)
            grade(static_cast<ConformCheck>(c), VERDICT_FAIL, "the phase could not open the driver: %s",
                  lastFailure());
    }
    closeChosenDriver();
    return false;
}

// The rate each phase sets back: its own object's when it read one, else the last the driver
// reported in the suite.
static bool rateOfPhaseKnown, rateEverKnown;
static double rateOfPhase, lastReportedRate;

void phaseRate(ASIOError got, double rate)
{
    rateOfPhaseKnown = got == ASE_OK;
    if (rateOfPhaseKnown) {
        rateOfPhase = rate;
        lastReportedRate = rate;
        rateEverKnown = true;
    }
}

bool rateToSetBack(double *rate)
{
    *rate = rateOfPhaseKnown ? rateOfPhase : lastReportedRate;
    return rateOfPhaseKnown || rateEverKnown;
}

ASIOError setRateToRestore(double rate)
{
    double back = 0;
    if (rateToSetBack(&back))
        rememberRateToRestore(back);
    return asioSetSampleRate(rate);
}

bool openWithFigures(const CheckerOptions &options, int index, ConformPhase phase,
                     DriverFigures *figures)
{
    if (!openForPhase(options, index, phase))
        return false;
    readDriverFigures(figures);
    phaseRate(figures->sampleRateResult, figures->sampleRate);
    return true;
}

// Grades how long a step of the opening took: a WARN over a second. `step` is "created" or
// "initialised".
static void gradeOpeningTime(ConformCheck check, const char *step, double ms)
{
    if (ms > SLOW_MS)
        grade(check, VERDICT_WARN, "%s in %.0f ms (over 1 s)", step, ms);
    else
        grade(check, VERDICT_PASS, "%s in %.1f ms", step, ms);
    gradeFigure(check, ms);
}

// The check the suite's first opening is charged to: the open phase's first wanted one, else the
// first wanted check of all (nothing can be checked without the object); CHECK_COUNT for none.
static ConformCheck openingCheck()
{
    ConformCheck first = firstWantedCheck(PHASE_OPEN);
    for (int c = 0; c < CHECK_COUNT && first == CHECK_COUNT; c++) {
        if (wanted(static_cast<ConformCheck>(c)))
            first = static_cast<ConformCheck>(c);
    }
    return first;
}

// Whether the object was created; when it was not and open.create is skipped, the check the
// opening is charged to fails.
static bool checkCreate(ConformCheck charged)
{
    if (!openedDriver.created) {
        grade(wanted(CHECK_OPEN_CREATE) ? CHECK_OPEN_CREATE : charged, VERDICT_FAIL, "%s", lastFailure());
        return false;
    }
    gradeOpeningTime(CHECK_OPEN_CREATE, "created", openedDriver.createMs);
    return true;
}

// Whether the object was initialised; `opened` is what opening it answered.
static bool checkInit(int opened, ConformCheck charged)
{
    beginCheck(CHECK_OPEN_INIT);
    if (opened != EXIT_FINE) {
        if (wanted(CHECK_OPEN_INIT))
            grade(CHECK_OPEN_INIT, VERDICT_FAIL, "init answered false after %.1f ms; getErrorMessage: "
                  "\"%s\"", openedDriver.initMs, openedDriver.errorMessage);
        else
            grade(charged, VERDICT_FAIL, "%s", lastFailure());
        return false;
    }
    gradeOpeningTime(CHECK_OPEN_INIT, "initialised", openedDriver.initMs);
    return true;
}

// A text the driver writes when `ask` calls `call`: into ROOM bytes, with 32 more behind them that
// it must leave alone.
template <size_t ROOM>
static void checkText(ConformCheck check, const char *call, void (*ask)(char *text), bool mayBeEmpty)
{
    beginCheck(check);
    char text[ROOM + 32], watched[32], why[160];
    memset(text, UNWRITTEN, sizeof text);
    snprintf(watched, sizeof watched, "%s()", call);
    watchDriverCall(watched);
    ask(text);
    watchDriverCall(nullptr);
    if (textWellFormed(text, ROOM, 32, why, sizeof why, mayBeEmpty))
        grade(check, VERDICT_PASS, "\"%s\"", text);
    else
        grade(check, VERDICT_FAIL, "%s gave %s", call, why);
}

static void askName(char *text)
{
    activeDriver->getDriverName(text);
}

static void askErrorMessage(char *text)
{
    activeDriver->getErrorMessage(text);
}

// A second object, after the first was released.
static void checkReopen(int index)
{
    beginCheck(CHECK_OPEN_REOPEN);
    if (openChosenDriver(index) == EXIT_FINE)
        grade(CHECK_OPEN_REOPEN, VERDICT_PASS, "created and initialised again after the release");
    else
        grade(CHECK_OPEN_REOPEN, VERDICT_FAIL, "after the release: %s", lastFailure());
    closeChosenDriver();
}

bool conformOpen(const CheckerOptions &, int index)
{
    ConformCheck charged = openingCheck();
    beginCheck(charged);
    int opened = openChosenDriver(index);
    if (!checkCreate(charged) || !checkInit(opened, charged)) {
        closeChosenDriver();
        return false;
    }
    if (wanted(CHECK_OPEN_NAME))
        checkText<32>(CHECK_OPEN_NAME, "getDriverName", askName, false);
    if (wanted(CHECK_OPEN_ERROR_MESSAGE))
        checkText<124>(CHECK_OPEN_ERROR_MESSAGE, "getErrorMessage", askErrorMessage, true);
    closeChosenDriver();
    if (wanted(CHECK_OPEN_REOPEN))
        checkReopen(index);
    return true;
}
