// quorvelcheck cycles: its text, its document and its JUnit file.
#include "checker/cycles/cycles.h"

#include <math.h>
#include <stdio.h>
#include <string.h>
#include <string>

static const char *const endingWords[ENDINGS] = {"clean", "killed", "released", "second"};

static const char *endingWord(int ending)
{
    return ending >= 0 && ending < ENDINGS ? endingWords[ending] : "?";
}

// "12.3" or "-" for a time not reached.
static const char *msText(double ms, char *out, size_t size)
{
    if (isfinite(ms))
        snprintf(out, size, "%.1f", ms);
    else
        snprintf(out, size, "-");
    return out;
}

static const char *countText(long long value, char *out, size_t size)
{
    if (value >= 0)
        snprintf(out, size, "%lld", value);
    else
        snprintf(out, size, "-");
    return out;
}

static void printCycleLine(const CycleResult &c)
{
    char create[16], init[16], start[16], first[16], handles[16], threads[16], memory[24], rate[32];
    formatRate(c.rate, rate, sizeof rate);
    const char *result = c.ok ? "ok" : c.failure;
    if (c.ok && c.ending == ENDING_KILLED)
        result = "killed while streaming";
    else if (c.ok && c.ending == ENDING_RELEASED)
        result = "released without stop";
    printf("  %5d %7d %-8s %6ld %6s %7s %6s %6s %8s %8lld %7s %7s %10s  %s\n", c.number, c.worker,
           endingWord(c.ending), c.bufferSize, c.stage >= CYCLE_READ ? rate : "-",
           msText(c.createMs, create, sizeof create), msText(c.initMs, init, sizeof init),
           msText(c.startMs, start, sizeof start), msText(c.firstSwitchMs, first, sizeof first), c.switches,
           countText(c.after.handles, handles, sizeof handles), countText(c.after.threads, threads, sizeof threads),
           countText(c.after.privateKB, memory, sizeof memory), result);
}

void printCyclesText(const CheckerOptions &options, int index, const SessionOutcome &, int exitCode)
{
    if (!resultsStand(exitCode) && exitCode != EXIT_DRIVER)
        return;
    const CyclesRun &run = cyclesRun;
    printDriverHeading(index);
    printf("Cycles: %ld clean, a fresh process every %ld, %g s of stream each%s; %d processes\n",
           options.cycles, options.freshEvery, options.seconds,
           options.noDirty ? "" : "; then the dirty endings, each followed by a fresh process", run.workers);
    printf("  cycle process ending     size   rate  create   init  start  1st sw switches handles threads "
           "private KB  result\n");
    printf("  %5s %7s %-8s %6s %6s %7s %6s %6s %8s\n", "", "", "", "frames", "Hz", "ms", "ms", "ms", "ms");
    for (int i = 0; i < run.count; i++)
        printCycleLine(run.cycles[i]);
    printf("Figures right after init:\n  cycle");
    for (int k = 0; k < CYCLE_FIGURES; k++)
        printf("  %s", cycleFigureName(k));
    printf("\n");
    for (int i = 0; i < run.count; i++) {
        const CycleResult &c = run.cycles[i];
        if (c.stage < CYCLE_READ)
            continue;
        printf("  %5d", c.number);
        for (int k = 0; k < CYCLE_FIGURES; k++)
            printf("  %*g", static_cast<int>(strlen(cycleFigureName(k))), cycleFigure(c.opened, k));
        printf("\n");
    }
    for (int i = 0; i < run.count; i++) {
        const CycleResult &c = run.cycles[i];
        if (c.ending == ENDING_SECOND && c.stage >= CYCLE_STREAMING) {
            char result[96];
            printf("Cycle %d made a second object while it streamed: CoCreateInstance answered %s; init %s%s%s\n",
                   c.number, comResultText(c.secondCreateResult, result, sizeof result),
                   c.secondInitialised ? "answered 1" : "answered 0",
                   c.secondMessage[0] ? ": " : "", c.secondMessage);
        }
    }
    if (run.crashedCycle || run.interrupted || run.shortfall || exitCode == EXIT_DRIVER) {
        printCallNotes();
        return;
    }
    CyclesFindings f;
    judgeCycles(options, &f);
    for (int k = 0; k < CYCLES_FINDINGS; k++)
        printf("Verdict %s: %s: %s\n", cyclesFindingId(k), cyclesVerdictName(f.verdict[k]), f.text[k]);
    printCallNotes();
}

static void jsonCycle(const CycleResult &c)
{
    char name[32];
    jsonBeginObject(nullptr);
    jsonInteger("number", c.number);
    jsonInteger("process", c.worker);
    jsonInteger("in_process", c.inWorker);
    jsonText("ending", endingWord(c.ending));
    static const char *const stages[] = {"nothing", "created", "opened", "read", "buffers", "started",
        "streaming", "streamed", "closed"};
    jsonText("stage", stages[c.stage]);
    jsonBool("ok", c.ok);
    jsonInteger("buffer_size", c.bufferSize);
    jsonNumber("sample_rate", c.rate);
    jsonBool("rate_set", c.rateSet);
    jsonNumber("create_ms", c.createMs);
    jsonNumber("init_ms", c.initMs);
    jsonNumber("buffers_ms", c.buffersMs);
    jsonNumber("start_ms", c.startMs);
    jsonNumber("first_switch_ms", c.firstSwitchMs);
    jsonNumber("stop_ms", c.stopMs);
    jsonInteger("switches", c.switches);
    if (c.stage >= CYCLE_READ) {
        jsonBeginObject("figures");
        for (int k = 0; k < CYCLE_FIGURES; k++)
            jsonNumber(cycleFigureKey(k), cycleFigure(c.opened, k));
        jsonEndObject();
    } else {
        jsonNull("figures");
    }
    if (c.stage >= CYCLE_BUFFERS) {
        jsonInteger("buffer_input_latency", c.inputLatency);
        jsonInteger("buffer_output_latency", c.outputLatency);
    }
    jsonText("init_message", c.stage >= CYCLE_CREATED && !c.initialised ? c.errorMessage : nullptr);
    if (c.stage >= CYCLE_STREAMED && c.ending == ENDING_CLEAN) {
        jsonText("stop", asioErrorName(c.stopResult, name, sizeof name));
        jsonText("dispose_buffers", asioErrorName(c.disposeResult, name, sizeof name));
    }
    jsonInteger("references_left", static_cast<long long>(c.referencesLeft));
    if (c.after.handles >= 0)
        jsonInteger("handles", c.after.handles);
    else
        jsonNull("handles");
    if (c.after.threads >= 0)
        jsonInteger("threads", c.after.threads);
    else
        jsonNull("threads");
    if (c.after.privateKB >= 0)
        jsonInteger("private_kb", c.after.privateKB);
    else
        jsonNull("private_kb");
    if (c.ending == ENDING_SECOND && c.stage >= CYCLE_STREAMING) {
        jsonBeginObject("second_object");
        jsonInteger("create_result", c.secondCreateResult);
        jsonBool("initialised", c.secondInitialised);
        jsonText("message", c.secondMessage[0] ? c.secondMessage : nullptr);
        jsonEndObject();
    }
    jsonText("failure", c.ok ? nullptr : c.failure);
    jsonEndObject();
}

void writeCyclesDocument(const CheckerOptions &options, int index, const SessionOutcome &outcome,
                         int exitCode)
{
    const CyclesRun &run = cyclesRun;
    if (!beginDocument(options, index, resultsStand(exitCode) || exitCode == EXIT_DRIVER, exitCode))
        return;
    jsonInteger("count", options.cycles);
    jsonInteger("fresh_every", options.freshEvery);
    jsonBool("dirty", !options.noDirty);
    jsonNumber("seconds", options.seconds);
    jsonInteger("processes", run.workers);
    jsonBeginArray("cycles");
    for (int i = 0; i < run.count; i++)
        jsonCycle(run.cycles[i]);
    jsonEndArray();
    if (run.crashedCycle)
        jsonInteger("crashed_cycle", run.crashedCycle);
    bool judged = !run.crashedCycle && !run.interrupted && !run.shortfall && exitCode != EXIT_DRIVER;
    if (judged) {
        CyclesFindings f;
        judgeCycles(options, &f);
        static const char *const keys[3] = {"handles", "threads", "private_kb"};
        jsonBeginObject("growth");
        for (int which = 0; which < 3; which++) {
            const Growth &g = f.growth[which];
            jsonBeginObject(keys[which]);
            jsonBool("judged", g.judged);
            jsonInteger("cycles", g.cycles);
            jsonNumber("per_cycle", g.judged ? g.slope : NAN);
            jsonNumber("spread", g.judged ? g.spread : NAN);
            jsonBool("leak", g.clear);
            jsonEndObject();
        }
        jsonEndObject();
        jsonBeginArray("verdicts");
        for (int k = 0; k < CYCLES_FINDINGS; k++) {
            jsonBeginObject(nullptr);
            jsonText("id", cyclesFindingId(k));
            jsonText("verdict", cyclesVerdictName(f.verdict[k]));
            jsonText("text", f.text[k]);
            jsonEndObject();
        }
        jsonEndArray();
    }
    jsonCallNotes();
    jsonSessionEnd(outcome, exitCode);
}

int writeCyclesJunit(const char *path, const CheckerOptions &options, int exitCode)
{
    const CyclesRun &run = cyclesRun;
    bool judged = !run.crashedCycle && !run.interrupted && !run.shortfall && exitCode != EXIT_DRIVER;
    CyclesFindings f;
    memset(&f, 0, sizeof f);
    if (judged)
        judgeCycles(options, &f);
    int failures = 0, skipped = 0;
    std::string cases;
    // Interrupted: nothing judged, nothing failed for it.
    for (int k = 0; run.interrupted && k < CYCLES_FINDINGS; k++) {
        skipped++;
        cases += "  <testcase classname=\"cycles\" name=\"";
        cases += cyclesFindingId(k);
        cases += "\"><skipped message=\"not run: interrupted before it was judged\"/></testcase>\n";
    }
    for (int k = 0; judged && k < CYCLES_FINDINGS; k++) {
        cases += "  <testcase classname=\"cycles\" name=\"";
        cases += cyclesFindingId(k);
        cases += "\">";
        if (f.verdict[k] == CYCLES_FAIL) {
            failures++;
            cases += "<failure message=\"";
            appendXmlText(&cases, f.text[k]);
            cases += "\"/>";
        } else if (f.verdict[k] == CYCLES_WARN) {
            cases += "<system-out>WARN: ";
            appendXmlText(&cases, f.text[k]);
            cases += "</system-out>";
        } else if (f.verdict[k] == CYCLES_NOT_RUN) {
            skipped++;
            cases += "<skipped message=\"not run: ";
            appendXmlText(&cases, f.text[k]);
            cases += "\"/>";
        }
        cases += "</testcase>\n";
    }
    // The checker's own shortfall (a worker it could not start) is an error of the checker's, never
    // a failure of the driver's; the file must not read as all passed either way.
    bool shortfall = !judged && !run.interrupted && (run.shortfall || exitCode == EXIT_SHORTFALL);
    if (shortfall) {
        cases += "  <testcase classname=\"cycles\" name=\"checker\"><error message=\"";
        appendXmlText(&cases, lastFailure());
        cases += "\">The checker fell short (not the driver's fault): nothing was judged</error></testcase>\n";
    } else if (!judged && !run.interrupted) {
        failures++;
        cases += "  <testcase classname=\"cycles\" name=\"driver\"><failure message=\"";
        appendXmlText(&cases, lastFailure());
        cases += "\">The driver could not be opened, crashed or hung, or the run was cut short</failure></testcase>\n";
    }
    char head[256];
    snprintf(head, sizeof head, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites>\n"
             "<testsuite name=\"quorvelcheck cycles\" tests=\"%d\" failures=\"%d\" errors=\"%d\" skipped=\"%d\">\n",
             judged || run.interrupted ? CYCLES_FINDINGS : 1, failures, shortfall ? 1 : 0, skipped);
    std::string xml = head + cases + "</testsuite>\n</testsuites>\n";
    FILE *file = fopen(path, "wb");
    if (!file)
        return fail(EXIT_USAGE, "cannot write the JUnit file %s", path);
    bool written = fwrite(xml.data(), 1, xml.size(), file) == xml.size();
    written = fclose(file) == 0 && written;
    return written ? EXIT_FINE : fail(EXIT_USAGE, "cannot write the JUnit file %s", path);
}
