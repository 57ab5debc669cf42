// Setting the rate back in a new worker: drivers keep the last rate, often across processes, so a
// session that changed it and then crashed, hung, ended or was interrupted has it set back by a
// short worker of its own, which reads it back. The session layer's one command is that worker's:
// the hidden restore-rate, which no user types; runWorkerSession starts it, and this file holds its
// command line, its session and the sentence on what it did.
#include "checker/session/worker_parent.h"

#include "drivers/driver_loading.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

RateRestoreResults rateRestoreResults;

static const char *rateRestoreFault(const void *copy)
{
    const RateRestoreResults &r = *static_cast<const RateRestoreResults *>(copy);
    return inRange(r.stage, RESTORE_NOTHING, RESTORE_READ_BACK) ? nullptr : "stage";
}

extern const RecordSpec rateRestoreRecord = {&rateRestoreResults, sizeof rateRestoreResults,
    "rate restore", rateRestoreFault};

// DRIVER is "RATE:DRIVER", the rate in C's hexadecimal floating text, so that whatever a driver
// reported (0, NaN) comes through whole.
static int restoreRules(CheckerOptions *o, const ArgumentFacts &facts)
{
    int code = requireDriver(o, facts);
    if (code != EXIT_FINE)
        return code;
    char *end = nullptr;
    o->rate = strtod(o->driver, &end);
    if (end == o->driver || *end != ':')
        return fail(EXIT_USAGE, "restore-rate takes RATE:DRIVER");
    o->driver = end + 1;
    return EXIT_FINE;
}

static int restoreSession(const CheckerOptions &options)
{
    RateRestoreResults &r = rateRestoreResults;
    int index = 0;
    int code = openNamedDriver(options.driver, &index);
    if (code == EXIT_FINE) {
        r.setResult = asioSetSampleRate(options.rate);
        r.stage = RESTORE_SET;
        publishRecord(&rateRestoreResults);
        r.readResult = asioGetSampleRate(&r.readBack);
        r.stage = RESTORE_READ_BACK;
        publishRecord(&rateRestoreResults);
    }
    closeChosenDriver();
    return code;
}

extern const CommandSpec restoreRateCommandSpec = {
    "restore-rate", "restore-rate RATE:DRIVER", "", "", WORKER_OPTIONS, true, restoreRules, nullptr,
    restoreSession,
};

// Whether the rate read back is the one set: equal, or both not numbers.
static bool sameRate(double set, double read)
{
    return set == read || (isnan(set) && isnan(read));
}

void tellRestore(const SessionOutcome &restore, int code, SessionOutcome *outcome)
{
    const RateRestoreResults &r = rateRestoreResults;
    char rate[32], read[32];
    formatRate(outcome->restoredRate, rate, sizeof rate);
    formatRate(r.readBack, read, sizeof read);
    bool setBack = r.stage == RESTORE_READ_BACK && r.setResult == ASE_OK &&
                   r.readResult == ASE_OK && sameRate(outcome->restoredRate, r.readBack);
    outcome->rateRestore = setBack ? RATE_SET_BACK : RATE_NOT_SET_BACK;
    if (setBack) {
        snprintf(outcome->rateText, sizeof outcome->rateText, "the sample rate was set back to %s "
                 "Hz in a new process", rate);
    } else if (r.stage == RESTORE_READ_BACK && r.setResult == ASE_OK && r.readResult == ASE_OK) {
        snprintf(outcome->rateText, sizeof outcome->rateText, "the sample rate could not be set "
                 "back to %s Hz in a new process: the driver reads %s Hz", rate, read);
    } else if (r.stage == RESTORE_SET || r.stage == RESTORE_READ_BACK) {
        char name[32];
        ASIOError error = r.setResult != ASE_OK ? r.setResult : r.readResult;
        snprintf(outcome->rateText, sizeof outcome->rateText, "the sample rate could not be set "
                 "back to %s Hz in a new process: %s answered %s", rate,
                 r.setResult != ASE_OK ? "setSampleRate" : "getSampleRate",
                 asioErrorName(error, name, sizeof name));
    } else {
        snprintf(outcome->rateText, sizeof outcome->rateText, "the sample rate could not be set "
                 "back to %s Hz in a new process: %s", rate,
                 restore.end != SESSION_FINISHED ? restore.text : code != EXIT_FINE ? lastFailure()
                                                                   : "the driver did not open");
    }
}

std::string restoreRateArguments(const CheckerOptions &options, double rate)
{
    std::string arguments = "restore-rate ";
    char text[48], driver[512];
    snprintf(text, sizeof text, "%a:", rate);
    ansiToUtf8(options.driver, driver, sizeof driver);
    quoteArgument(&arguments, (std::string(text) + driver).c_str());
    snprintf(text, sizeof text, " --call-timeout %g", options.callTimeout);
    arguments += text;
    memset(&rateRestoreResults, 0, sizeof rateRestoreResults);
    return arguments;
}
