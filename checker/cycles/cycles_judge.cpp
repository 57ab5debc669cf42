// The verdicts of cycles: the cycles themselves, the fresh process after each dirty ending, the
// figures across opens, and the growth per cycle of what the worker counted of itself.
#include "checker/cycles/cycles.h"

#include <math.h>
#include <stdio.h>
#include <string.h>
#include <string>

// Under these a slope is noise, whatever its spread: half a handle or thread a cycle, and 32 KB,
// which is what one step of the heap's growth early in a process gives over three cycles.
const double GROWTH_FLOOR[3] = {0.5, 0.5, 32};

static const char *const verdictNames[] = {"PASS", "WARN", "FAIL", "not run"};

const char *cyclesVerdictName(int verdict)
{
    return verdict >= 0 && verdict <= CYCLES_NOT_RUN ? verdictNames[verdict] : "?";
}

const char *cyclesFindingId(int finding)
{
    static const char *const ids[CYCLES_FINDINGS] = {"cycles", "after_release", "after_second",
        "after_kill", "drift", "handles", "threads", "memory"};
    static_assert(FINDING_RELEASED == 1 && FINDING_SECOND == 2 && FINDING_KILLED == 3, "ids in order");
    return finding >= 0 && finding < CYCLES_FINDINGS ? ids[finding] : "?";
}

static const char *const figureNames[CYCLE_FIGURES] = {"min size", "max size", "preferred size",
    "granularity", "sample rate", "inputs", "outputs", "input latency", "output latency"};
static const char *const figureKeys[CYCLE_FIGURES] = {"min_size", "max_size", "preferred_size",
    "granularity", "sample_rate", "inputs", "outputs", "input_latency", "output_latency"};

const char *cycleFigureName(int figure)
{
    return figure >= 0 && figure < CYCLE_FIGURES ? figureNames[figure] : "?";
}

const char *cycleFigureKey(int figure)
{
    return figure >= 0 && figure < CYCLE_FIGURES ? figureKeys[figure] : "?";
}

double cycleFigure(const CycleFigures &f, int figure)
{
    switch (figure) {
    case 0: return f.minSize;
    case 1: return f.maxSize;
    case 2: return f.preferredSize;
    case 3: return f.granularity;
    case 4: return f.sampleRate;
    case 5: return f.inputs;
    case 6: return f.outputs;
    case 7: return f.inputLatency;
    case 8: return f.outputLatency;
    }
    return NAN;
}

bool cycleFigureGrows(int figure)
{
    return figure == 0 || figure == 1 || figure == 2 || figure == 7 || figure == 8;
}

static void setFinding(CyclesFindings *f, int finding, int verdict, const char *format, ...)
    PRINTF_LIKE(4, 5);
static void setFinding(CyclesFindings *f, int finding, int verdict, const char *format, ...)
{
    va_list list;
    va_start(list, format);
    f->verdict[finding] = verdict;
    vsnprintf(f->text[finding], sizeof f->text[finding], format, list);
    va_end(list);
}

static const CycleResult *cycleNumbered(int number)
{
    for (int i = 0; i < cyclesRun.count; i++) {
        if (cyclesRun.cycles[i].number == number)
            return &cyclesRun.cycles[i];
    }
    return nullptr;
}

static void judgeCleanCycles(const CheckerOptions &options, CyclesFindings *f)
{
    int ran = 0, fine = 0;
    const CycleResult *first = nullptr;
    for (int i = 0; i < cyclesRun.count; i++) {
        const CycleResult &c = cyclesRun.cycles[i];
        if (c.number > options.cycles)
            continue;
        ran++;
        fine += c.ok;
        if (!c.ok && !first)
            first = &c;
    }
    if (first) {
        setFinding(f, FINDING_CYCLES, CYCLES_FAIL, "cycle %d (%ld frames at %g Hz, cycle %d of its process) "
                   "failed: %s; %d of %d cycles opened, streamed and closed", first->number,
                   first->bufferSize, first->rate, first->inWorker, first->failure, fine, ran);
    } else if (ran < options.cycles) {
        setFinding(f, FINDING_CYCLES, CYCLES_NOT_RUN, "only %d of %ld cycles ran", ran, options.cycles);
    } else {
        setFinding(f, FINDING_CYCLES, CYCLES_PASS, "all %d cycles opened, streamed and closed", ran);
    }
}

// The step a failed cycle stopped at: its stage says how far it got.
static const char *failedStep(const CycleResult &c)
{
    switch (c.stage) {
    case CYCLE_NOTHING: return "created";
    case CYCLE_CREATED: return "opened";
    case CYCLE_OPENED: return "read";
    case CYCLE_READ: return "given its rate and buffers";
    case CYCLE_BUFFERS: return "started";
    case CYCLE_STARTED:
    case CYCLE_STREAMING: return "streamed";
    }
    return c.switches == 0 ? "streamed" : "stopped and its buffers disposed";
}

// The dirty ending of cycle `number`, judged by the first cycle of the fresh process after it.
// Every failure of either counts: the dirty cycle's own here when no finding before judged it as
// its fresh cycle (`ownsDirty`), the fresh cycle's at whatever step it failed.
static void judgeEnding(const CheckerOptions &options, int finding, int number, bool ownsDirty,
                        const char *what, CyclesFindings *f)
{
    if (options.noDirty) {
        setFinding(f, finding, CYCLES_NOT_RUN, "not asked for (--no-dirty)");
        return;
    }
    const CycleResult *dirty = cycleNumbered(number);
    const CycleResult *after = cycleNumbered(number + 1);
    if (!dirty) {
        setFinding(f, finding, CYCLES_NOT_RUN, "no process ran the cycle that was to end so");
    } else if (ownsDirty && !dirty->ok) {
        setFinding(f, finding, CYCLES_FAIL, "cycle %d, a fresh process's first, could not be %s: %s",
                   dirty->number, failedStep(*dirty), dirty->failure);
    } else if (dirty->stage < CYCLE_STREAMING) {
        // Its failure is the finding's before, which judged it as its fresh cycle.
        setFinding(f, finding, CYCLES_NOT_RUN, "the cycle that was to end so did not stream%s%s",
                   dirty->failure[0] ? ": " : "", dirty->failure);
    } else if (!after) {
        setFinding(f, finding, CYCLES_NOT_RUN, "no fresh process tried to open it after %s", what);
    } else if (!after->ok) {
        setFinding(f, finding, CYCLES_FAIL, "cycle %d, in a fresh process: the driver could not be %s "
                   "after %s: %s", after->number, failedStep(*after), what, after->failure);
    } else {
        setFinding(f, finding, CYCLES_PASS, "a fresh process opened the driver, streamed and closed it "
                   "after %s", what);
    }
}

// "preferred size 256, 320, 384, ... over 7 opens": at most 8 values shown.
static void describeSeries(int figure, const double *values, int count, std::string *out)
{
    appendFormat(out, "%s%s", out->empty() ? "" : "; ", cycleFigureName(figure));
    for (int i = 0; i < count && i < 8; i++)
        appendFormat(out, "%s%g", i ? ", " : " ", values[i]);
    appendFormat(out, "%s over %d opens", count > 8 ? ", ..." : "", count);
}

// A figure that grows within one process: three opens there or more, each at least the one
// before, two of them in a row above the one before. A driver that keeps it in a DLL static grows
// it in each process and starts over in the next, which the whole series alone does not show.
static bool growsInAProcess(int figure, std::string *out)
{
    static double values[MAX_ALL_CYCLES];
    for (int worker = 1; worker <= cyclesRun.workers; worker++) {
        int count = 0, inARow = 0, mostInARow = 0;
        bool falls = false;
        for (int i = 0; i < cyclesRun.count; i++) {
            const CycleResult &c = cyclesRun.cycles[i];
            if (c.worker != worker || c.stage < CYCLE_READ)
                continue;
            values[count] = cycleFigure(c.opened, figure);
            if (count > 0) {
                falls = falls || values[count] < values[count - 1];
                inARow = values[count] > values[count - 1] ? inARow + 1 : 0;
                mostInARow = inARow > mostInARow ? inARow : mostInARow;
            }
            count++;
        }
        if (!falls && mostInARow >= 2) {
            describeSeries(figure, values, count, out);
            appendFormat(out, " in process %d", worker);
            return true;
        }
    }
    return false;
}

static void judgeDrift(CyclesFindings *f)
{
    static double values[MAX_ALL_CYCLES];
    std::string grew, changed;
    int opens = 0;
    for (int figure = 0; figure < CYCLE_FIGURES; figure++) {
        int count = 0;
        for (int i = 0; i < cyclesRun.count; i++) {
            if (cyclesRun.cycles[i].stage >= CYCLE_READ)
                values[count++] = cycleFigure(cyclesRun.cycles[i].opened, figure);
        }
        opens = count;
        bool same = true, rising = true;
        for (int i = 1; i < count; i++) {
            same = same && values[i] == values[0];
            rising = rising && values[i] >= values[i - 1];
        }
        if (same)
            continue;
        if (cycleFigureGrows(figure) && rising)
            describeSeries(figure, values, count, &grew);
        else if (!cycleFigureGrows(figure) || !growsInAProcess(figure, &grew))
            describeSeries(figure, values, count, &changed);
    }
    if (opens < 2)
        setFinding(f, FINDING_DRIFT, CYCLES_NOT_RUN, "fewer than 2 opens read the figures");
    else if (!grew.empty())
        setFinding(f, FINDING_DRIFT, CYCLES_FAIL, "figures grow from open to open at the same settings: %s%s%s",
                   grew.c_str(), changed.empty() ? "" : "; and they change: ", changed.c_str());
    else if (!changed.empty())
        setFinding(f, FINDING_DRIFT, CYCLES_WARN, "figures change from open to open at the same settings: %s",
                   changed.c_str());
    else
        setFinding(f, FINDING_DRIFT, CYCLES_PASS, "every figure read right after init was the same at all "
                   "%d opens", opens);
}

static double countOf(const ProcessCounts &c, int which)
{
    return which == 0 ? c.handles : which == 1 ? c.threads : static_cast<double>(c.privateKB);
}

// One slope for all workers, each worker's cycles about their own mean: clean cycles only, each
// measured after its Release. A process's first cycle is its baseline and not fitted: what a
// process sets up once (the driver's DLL loaded, COM, a step of the heap, 64 KB under Wine in the
// second cycle) settles in its first cycles, and a single step is no leak.
static void fitGrowth(const CheckerOptions &options, int which, Growth *g)
{
    memset(g, 0, sizeof *g);
    double sxx = 0, sxy = 0, syy = 0;
    int points = 0, lines = 0;
    for (int worker = 1; worker <= cyclesRun.workers; worker++) {
        double xs[MAX_ALL_CYCLES], ys[MAX_ALL_CYCLES];
        int n = 0;
        for (int i = 0; i < cyclesRun.count; i++) {
            const CycleResult &c = cyclesRun.cycles[i];
            if (c.worker != worker || c.ending != ENDING_CLEAN || c.number > options.cycles ||
                c.stage != CYCLE_CLOSED || countOf(c.after, which) < 0 || c.inWorker == 1)
                continue;
            xs[n] = c.inWorker;
            ys[n++] = countOf(c.after, which);
        }
        if (n < 2)
            continue;
        double mx = 0, my = 0;
        for (int i = 0; i < n; i++) {
            mx += xs[i] / n;
            my += ys[i] / n;
        }
        for (int i = 0; i < n; i++) {
            sxx += (xs[i] - mx) * (xs[i] - mx);
            sxy += (xs[i] - mx) * (ys[i] - my);
            syy += (ys[i] - my) * (ys[i] - my);
        }
        points += n;
        lines++;
        g->judged = g->judged || n >= 3;  // the baseline and three more
    }
    g->cycles = points;
    if (!g->judged || sxx <= 0)
        return;
    g->slope = sxy / sxx;
    double residual = syy - g->slope * sxy;
    int freedom = points - lines - 1;
    g->spread = freedom > 0 && residual > 0 ? sqrt(residual / freedom / sxx) : 0;
    g->clear = g->slope > GROWTH_FLOOR[which] && g->slope > 3 * g->spread;
}

static void judgeGrowth(const CheckerOptions &options, CyclesFindings *f)
{
    static const char *const units[3] = {"handles", "threads", "KB of private memory"};
    for (int which = 0; which < 3; which++) {
        Growth &g = f->growth[which];
        fitGrowth(options, which, &g);
        int finding = FINDING_HANDLES + which;
        if (!g.judged) {
            setFinding(f, finding, CYCLES_NOT_RUN, "not judged: no process ran 4 clean cycles, its first a "
                       "baseline (--fresh-every 4 or more, --count 4 or more)");
        } else if (g.clear) {
            setFinding(f, finding, CYCLES_FAIL, "%.1f %s a cycle (spread %.1f) over %d cycles: the driver "
                       "leaves them behind at every open", g.slope, units[which], g.spread, g.cycles);
        } else {
            setFinding(f, finding, CYCLES_PASS, "no growth clear of the noise: %+.1f %s a cycle (spread %.1f) "
                       "over %d cycles", g.slope, units[which], g.spread, g.cycles);
        }
    }
}

void judgeCycles(const CheckerOptions &options, CyclesFindings *f)
{
    memset(f, 0, sizeof *f);
    judgeCleanCycles(options, f);
    int first = static_cast<int>(options.cycles) + 1;
    judgeEnding(options, FINDING_RELEASED, first, true, "a host released it without stop and disposeBuffers", f);
    judgeEnding(options, FINDING_SECOND, first + 1, false, "a second object was made while the first streamed", f);
    judgeEnding(options, FINDING_KILLED, first + 2, false, "a host was killed while streaming", f);
    judgeDrift(f);
    judgeGrowth(options, f);
}

int cyclesStatus(const CyclesFindings &f)
{
    for (int k = 0; k < CYCLES_FINDINGS; k++) {
        if (f.verdict[k] == CYCLES_FAIL)
            return fail(EXIT_CHECK_MISSED, "%s", f.text[k]);
    }
    return EXIT_FINE;
}
