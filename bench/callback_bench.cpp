// The buffer-switch handler against a bare loop of memory copies over the same buffers, on the
// layouts real devices have; the checker's timed callback against the handler alone, which is
// what its timing costs; each judged by the median of several passes over its layouts; and the
// check that neither allocates or takes a lock.
//
//     callback_bench [--quick] [--violate]
//
// --violate runs the check on a handler that also allocates, locks and waits, to show that the
// check catches it. Exit code: 0 when the check passed, 1 when it found calls, 2 when it could not
// be made.
#include "bench/bench_clock.h"
#include "bench/call_counters.h"
#include "bench/layout_buffers.h"
#include "checker/measure/timing_parts.h"
#include "engine/loopback.h"

#include <windows.h>
#include <algorithm>
#include <iterator>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

typedef void (*SwitchHandler)(long index, ASIOBool directProcess);

const int32_t PAIRS[] = {2, 8, 32, 64};
const int32_t FRAMES[] = {32, 256, 2048};
const int32_t SAMPLE_BYTES[] = {2, 3, 4, 8};
const double TARGET_RATIO = 1.10;
const int LAYOUT_COUNT =
    static_cast<int>(std::size(PAIRS) * std::size(FRAMES) * std::size(SAMPLE_BYTES));
enum { MAX_PASSES = 9 };

// The small layouts, where the timing weighs most against the copies.
const int32_t TIMING_PAIRS[] = {2, 8};
const int32_t TIMING_FRAMES[] = {32, 256};
const int32_t TIMING_BYTES[] = {2, 4};
const double TIMING_TARGET_NS = 50;
const int TIMING_LAYOUT_COUNT =
    static_cast<int>(std::size(TIMING_PAIRS) * std::size(TIMING_FRAMES) * std::size(TIMING_BYTES));

struct Settings {
    int rounds;         // paired rounds per layout
    double batchUs;     // length of one timed batch
    int passes;         // comparisons over every layout, at most MAX_PASSES
};

// Per call, from each side's fastest round: other processes on the machine only ever add time,
// so the fastest round is the one closest to the code's own cost.
struct Figures {
    double handlerUs;
    double bareUs;      // the reference: bare copies, or the handler alone
    double ratio;       // handlerUs / bareUs
};

// Keeps the deliberate violations from being optimised away.
void *volatile sink;
CRITICAL_SECTION violationLock;
HANDLE violationEvent;

// The handler plus what it must never do: allocate, lock, wait.
void violatingHandler(long index, ASIOBool directProcess)
{
    onBufferSwitch(index, directProcess);
    sink = malloc(64);
    free(sink);
    EnterCriticalSection(&violationLock);
    LeaveCriticalSection(&violationLock);
    WaitForSingleObject(violationEvent, 0);
    Sleep(0);
}

// Calls alternate between the halves, as a driver's do. Returns microseconds per call.
double timeBatch(SwitchHandler handler, long calls, bool count)
{
    setCounting(count);
    int64_t start = benchTicks();
    for (long k = 0; k < calls; k++)
        handler(k & 1, 1);
    int64_t end = benchTicks();
    setCounting(false);
    return benchMicroseconds(end - start) / calls;
}

// Handler and reference (bare copies by default) in alternating order, so that both meet the same
// machine. A reference that is a handler too is watched as well.
Figures measure(SwitchHandler handler, const Settings &settings, SwitchHandler reference = bareCopies)
{
    const bool countReference = reference != bareCopies;
    // Warm the caches and size the batch from one warm estimate.
    timeBatch(reference, 16, countReference);
    timeBatch(handler, 16, true);
    double estimate = timeBatch(reference, 64, countReference);
    long calls = static_cast<long>(settings.batchUs / (estimate > 0.001 ? estimate : 0.001));
    if (calls < 4)
        calls = 4;

    Figures figures = {1e30, 1e30, 0};
    for (int r = 0; r < settings.rounds; r++) {
        double handlerUs, bareUs;
        if (r % 2) {
            handlerUs = timeBatch(handler, calls, true);
            bareUs = timeBatch(reference, calls, countReference);
        } else {
            bareUs = timeBatch(reference, calls, countReference);
            handlerUs = timeBatch(handler, calls, true);
        }
        figures.handlerUs = std::min(figures.handlerUs, handlerUs);
        figures.bareUs = std::min(figures.bareUs, bareUs);
    }
    figures.ratio = figures.handlerUs / figures.bareUs;
    return figures;
}

double gigabytesPerSecond(size_t bytes, double us)
{
    return us > 0 ? bytes / us / 1000.0 : 0;
}

// Proof that a call through the table is seen: the check is worthless if it cannot see one.
bool countersSeeCalls()
{
    resetCallCounts();
    setCounting(true);
    sink = malloc(16);
    free(sink);
    setCounting(false);
    long seen = totalCountedCalls();
    resetCallCounts();
    return seen >= 2;
}

// The handler's other paths: a bad half index, missing buffers, nothing to copy. Returns the
// number of handler calls.
long runOddPaths(SwitchHandler handler)
{
    Layout layout = {8, 32, 4};
    if (!setUpLayout(layout))
        return 0;
    CopyPlan *plan = loopbackState.plan.load();
    setCounting(true);
    for (int k = 0; k < 1000; k++) {
        handler(2, 1);
        handler(-1, 1);
    }
    plan->bufferInfos[0].buffers[0] = nullptr;
    plan->bufferInfos[8 + 1].buffers[1] = nullptr;
    for (int k = 0; k < 1000; k++)
        handler(k & 1, 1);
    for (int32_t i = 0; i < plan->copyChannels; i++)
        plan->pairBytes[i] = 0;
    plan->copyBytes = 0;
    for (int k = 0; k < 1000; k++)
        handler(k & 1, 1);
    setCounting(false);
    long calls = loopbackState.switchCount.load();
    tearDownLayout();
    return calls;
}

int printCheck(long handlerCalls)
{
    int count = 0;
    const CountedFunction *functions = countedFunctions(&count);
    printf("\n### Allocation and lock check (%ld handler calls watched)\n\n", handlerCalls);
    printf("| function | kind | imported by the executable | calls during the handler |\n");
    printf("|---|---|---|---:|\n");
    for (int i = 0; i < count; i++) {
        printf("| %s | %s | %s | %ld |\n", functions[i].name, functions[i].kind,
               functions[i].imported ? "yes" : "no: not callable from the handler's code", functions[i].calls);
    }
    long total = totalCountedCalls();
    printf("\nCheck: %s: %ld calls to watched functions during the handler calls.\n",
           total == 0 ? "PASSED" : "FAILED", total);
    return total == 0 ? 0 : 1;
}

// Every combination of the three lists, in table order. Returns the count.
template <size_t P, size_t F, size_t B>
int combine(const int32_t (&pairs)[P], const int32_t (&frames)[F], const int32_t (&bytes)[B],
            Layout *out)
{
    int count = 0;
    for (int32_t p : pairs) {
        for (int32_t f : frames) {
            for (int32_t b : bytes)
                out[count++] = {p, f, b};
        }
    }
    return count;
}

// One layout's figures from every pass.
struct LayoutRuns {
    Layout layout;
    int made;  // passes that had memory for it
    Figures figures[MAX_PASSES];
};

// Measures `handler` against `reference` on every layout, all layouts in each of the passes: a
// single pass on a shared machine misses now here, now there. Returns the handler calls made.
long measurePasses(LayoutRuns *runs, const Layout *layouts, int count, SwitchHandler handler,
                   SwitchHandler reference, const Settings &settings)
{
    long handlerCalls = 0;
    for (int i = 0; i < count; i++) {
        runs[i].layout = layouts[i];
        runs[i].made = 0;
    }
    for (int pass = 0; pass < settings.passes; pass++) {
        for (int i = 0; i < count; i++) {
            LayoutRuns &r = runs[i];
            if (setUpLayout(r.layout))
                r.figures[r.made++] = measure(handler, settings, reference);
            handlerCalls += loopbackState.switchCount.load();
            tearDownLayout();
        }
    }
    return handlerCalls;
}

double ratioOf(const Figures &f)
{
    return f.ratio;
}

double costNsOf(const Figures &f)
{
    return (f.handlerUs - f.bareUs) * 1000;
}

// The pass whose figure `key` is the median (of an even number of passes, the upper one), and that
// figure's range over the passes.
struct Median {
    Figures figures;
    double key, lowest, highest;
};

Median medianPass(const LayoutRuns &r, double (*key)(const Figures &))
{
    int order[MAX_PASSES];
    for (int p = 0; p < r.made; p++) {
        order[p] = p;
        for (int q = p; q > 0 && key(r.figures[order[q - 1]]) > key(r.figures[order[q]]); q--)
            std::swap(order[q - 1], order[q]);
    }
    const Figures &median = r.figures[order[r.made / 2]];
    return {median, key(median), key(r.figures[order[0]]), key(r.figures[order[r.made - 1]])};
}

// Times every layout against bare copies in each pass, then prints each layout's pass of the
// median ratio and judges that ratio. Returns the number of handler calls made.
long runLayouts(const Settings &settings)
{
    printf("### Buffer-switch handler against bare copies (%s build)\n\n",
           sizeof(void *) == 8 ? "x64" : "x86");
    printf("%d passes over every layout. Per pass and call: the fastest of %d rounds of ~%.0f "
           "ms each, handler and bare copies taking turns; ratio: handler / bare. A row is the "
           "pass of the median ratio, with the range of the ratio over the passes.\n\n",
           settings.passes, settings.rounds, settings.batchUs / 1000);

    static LayoutRuns runs[LAYOUT_COUNT];
    Layout layouts[LAYOUT_COUNT];
    int count = combine(PAIRS, FRAMES, SAMPLE_BYTES, layouts);
    long handlerCalls = measurePasses(runs, layouts, count, onBufferSwitch, bareCopies, settings);

    printf("| pairs | frames | bytes/sample | bytes/switch | handler us | bare us | handler GB/s | "
           "bare GB/s | ratio | ratio range | target <= %.2f |\n", TARGET_RATIO);
    printf("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|---|\n");
    int judged = 0, met = 0;
    double worst = 0;
    Layout worstLayout = {0, 0, 0};
    for (int i = 0; i < count; i++) {
        const Layout &layout = runs[i].layout;
        if (runs[i].made < settings.passes) {
            printf("| %d | %d | %d | no memory |\n", layout.pairs, layout.frames,
                   layout.sampleBytes);
            continue;
        }
        Median m = medianPass(runs[i], ratioOf);
        size_t copied = bytesPerSwitch(layout);
        const char *verdict = "-";
        if (layout.pairs >= 8) {
            judged++;
            met += m.key <= TARGET_RATIO;
            verdict = m.key <= TARGET_RATIO ? "met" : "MISSED";
            if (m.key > worst) {
                worst = m.key;
                worstLayout = layout;
            }
        }
        printf("| %d | %d | %d | %zu | %.3f | %.3f | %.2f | %.2f | %.3f | %.3f to %.3f | %s |\n",
               layout.pairs, layout.frames, layout.sampleBytes, copied, m.figures.handlerUs,
               m.figures.bareUs, gigabytesPerSecond(copied, m.figures.handlerUs),
               gigabytesPerSecond(copied, m.figures.bareUs), m.key, m.lowest, m.highest, verdict);
    }
    printf("\nRatio target (median <= %.2f from 8 channel pairs up): met in %d of %d layouts; "
           "worst %.3f (%d pairs, %d frames, %d bytes).\n", TARGET_RATIO, met, judged, worst,
           worstLayout.pairs, worstLayout.frames, worstLayout.sampleBytes);
    return handlerCalls;
}

// The checker's callback (performance-counter reads around the handler, the arrival kept in its
// ring, the longest duration kept) against the handler alone, in passes as above, judged by each
// layout's median cost. Returns the handler calls made.
long runTimingLayouts(const Settings &settings)
{
    printf("\n### The checker's timed callback against the handler alone (%s build)\n\n",
           sizeof(void *) == 8 ? "x64" : "x86");
    printf("%d passes. Per pass and call: the fastest of %d rounds, the two taking turns; the "
           "timing's cost is the difference. A row is the pass of the median cost, with the range "
           "of the cost over the passes.\n\n", settings.passes, settings.rounds);
    printf("| pairs | frames | bytes/sample | handler us | timed callback us | timing ns | "
           "timing ns range | target <= %.0f ns |\n", TIMING_TARGET_NS);
    printf("|---:|---:|---:|---:|---:|---:|---|---|\n");
    // Nobody empties the ring here: the batches wrap it, as a callback's stores do in a long run.
    if (!prepareTiming(60, 166.7)) {
        printf("No memory for the ring.\n");
        return 0;
    }
    static LayoutRuns runs[TIMING_LAYOUT_COUNT];
    Layout layouts[TIMING_LAYOUT_COUNT];
    int count = combine(TIMING_PAIRS, TIMING_FRAMES, TIMING_BYTES, layouts);
    long handlerCalls =
        measurePasses(runs, layouts, count, timedBufferSwitch, onBufferSwitch, settings);

    int met = 0, judged = 0;
    double worst = 0;
    for (int i = 0; i < count; i++) {
        const Layout &layout = runs[i].layout;
        if (runs[i].made < settings.passes) {
            printf("| %d | %d | %d | no memory |\n", layout.pairs, layout.frames,
                   layout.sampleBytes);
            continue;
        }
        Median m = medianPass(runs[i], costNsOf);
        judged++;
        met += m.key <= TIMING_TARGET_NS;
        worst = std::max(worst, m.key);
        printf("| %d | %d | %d | %.3f | %.3f | %.1f | %.1f to %.1f | %s |\n", layout.pairs,
               layout.frames, layout.sampleBytes, m.figures.bareUs, m.figures.handlerUs, m.key,
               m.lowest, m.highest, m.key <= TIMING_TARGET_NS ? "met" : "MISSED");
    }
    printf("\nTiming target (median <= %.0f ns per callback): met in %d of %d layouts; worst "
           "%.1f ns. Switches timed: %u.\n", TIMING_TARGET_NS, met, judged, worst,
           arrivalRing.claimed.load());
    return handlerCalls;
}

// The checker's other handlers, asioMessage and sampleRateDidChange, as a driver calls them: every
// selector, requests, unknown ones, pointers that point nowhere (the handler keeps them as numbers),
// with the host supporting all and then nothing, past the log's room. Each call notes a
// notification. Returns the calls made.
long runNotifications()
{
    long calls = 0;
    long noted = 0;
    double rate = 48000;
    for (unsigned long supports : {static_cast<unsigned long>(HOST_SUPPORTS_ALL), 0ul}) {
        resetMessageCounts(true);
        setHostSupports(supports);
        setCounting(true);
        for (int round = 0; round < 40; round++) {
            for (long selector = 0; selector <= ASIO_MSG_LAST + 1; selector++) {
                checkerAsioMessage(ASIO_MSG_SELECTOR_SUPPORTED, selector, nullptr, nullptr);
                checkerAsioMessage(selector, 512, reinterpret_cast<void *>(0x10),
                                   round & 1 ? &rate : reinterpret_cast<double *>(0x20));
                calls += 2;
            }
            checkerSampleRateDidChange(rate);
            calls++;
        }
        setCounting(false);
        pendingRequests();
        noted += notificationsSeen();
    }
    setHostSupports(HOST_SUPPORTS_ALL);
    printf("\nasioMessage and sampleRateDidChange: %ld calls watched, %ld notifications noted.\n",
           calls, noted);
    return noted == calls ? calls : 0;
}

// The violating handler on one layout: no figures, only calls for the check to see.
long runViolations()
{
    printf("Deliberate violation: the handler under test also calls malloc, free, "
           "EnterCriticalSection, WaitForSingleObject and Sleep.\n");
    Layout layout = {8, 256, 4};
    if (!setUpLayout(layout))
        return 0;
    timeBatch(violatingHandler, 1000, true);
    long calls = loopbackState.switchCount.load();
    tearDownLayout();
    return calls + runOddPaths(violatingHandler);
}

}  // namespace

int main(int argc, char **argv)
{
    Settings settings = {21, 5000, 5};
    bool violate = false;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--quick") == 0) {
            settings.rounds = 7;
            settings.batchUs = 2000;
            settings.passes = 3;
        } else if (strcmp(argv[i], "--violate") == 0) {
            violate = true;
        } else {
            fprintf(stderr, "usage: callback_bench [--quick] [--violate]\n");
            return 2;
        }
    }
    setvbuf(stdout, nullptr, _IONBF, 0);
    InitializeCriticalSection(&violationLock);
    violationEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);

    if (installCallCounters() <= 0 || !countersSeeCalls()) {
        printf("The call counters could not be installed: the check cannot be made.\n");
        return 2;
    }
    resetCallCounts();
    long handlerCalls = violate ? runViolations()
                                : runLayouts(settings) + runOddPaths(onBufferSwitch) +
                                      runTimingLayouts(settings) + runNotifications();
    return printCheck(handlerCalls);
}
