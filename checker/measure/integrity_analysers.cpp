// The analysers of an integrity run: every block of the ring goes to each reader, which analyses
// its own inputs of it. Reader 0 is the main thread, between its other duties; the others are
// threads of their own, one per further processor, so that 128 inputs at 192 kHz keep up. The
// callback never waits for any of them: a full ring drops a block, counted as the checker's fault.
#include "checker/measure/integrity_parts.h"
#include "checker/measure/timing_parts.h"

#include <windows.h>

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

struct Reader {
    HANDLE thread;
    uint32_t *words;
    uint8_t *inexact;
    int64_t busyTicks;      // performance ticks spent analysing
    int64_t frames;         // frames of the blocks it took
    int64_t lastArrival;    // switch ticks of the last block it took; 0 before the first
};

IntegrityAnalysis *analyses;
int inputs;
int readers;
Reader readerStates[MAX_RING_READERS];
volatile LONG stopping;
int64_t runStart;
double ticksPerUs;
// The tests' hold of the readers: nothing is taken until the ring has dropped this many blocks (0:
// no hold), so that the checker falls behind on purpose; the end of the window ends it.
uint32_t holdUntilDropped;

// Reader r's inputs of every block waiting for it; false when there was none.
bool takeBlocks(int r)
{
    const IntegrityPlan &plan = integrityPlan;
    Reader &reader = readerStates[r];
    bool took = false;
    if (!stopping && plan.ring->dropped.load(std::memory_order_relaxed) < holdUntilDropped)
        return false;
    while (const RingBlock *block = peekReaderBlock(plan.ring, r)) {
        const int64_t start = performanceTicks();
        for (int i = r; i < inputs; i += readers) {
            const int bytes = sequenceTypeBytes(plan.inTypes[i]);
            const uint32_t offset = plan.inOffsets[i];
            long count = offset < block->bytes ? static_cast<long>((block->bytes - offset) / bytes) : 0;
            if (count > plan.frames)
                count = plan.frames;
            readSequence(block->data + offset, plan.inTypes[i], count, reader.words, reader.inexact);
            analyseIntegrityBlock(&analyses[i], reader.words, reader.inexact, count,
                                  block->switchNumber * plan.frames, block->switchNumber,
                                  (block->arrivalTicks - runStart) / ticksPerUs);
        }
        reader.lastArrival = block->arrivalTicks;
        reader.frames += plan.frames;
        releaseReaderBlock(plan.ring, r);
        reader.busyTicks += performanceTicks() - start;
        took = true;
    }
    return took;
}

DWORD WINAPI readerThread(void *parameter)
{
    const int r = static_cast<int>(reinterpret_cast<intptr_t>(parameter));
    while (!stopping) {
        if (!takeBlocks(r))
            Sleep(1);
    }
    takeBlocks(r);
    return 0;
}

int processors()
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 0 ? static_cast<int>(info.dwNumberOfProcessors) : 1;
}

}  // namespace

bool prepareAnalysers(int64_t maxDelay, int64_t verdictAfter, const uint32_t *wanted)
{
    const IntegrityPlan &plan = integrityPlan;
    inputs = plan.inputs;
    readers = processors();
    if (readers > inputs)
        readers = inputs;
    if (readers > MAX_RING_READERS)
        readers = MAX_RING_READERS;
    plan.ring->readers = readers;
    stopping = 0;
    const char *hold = getenv("QUORVEL_HOLD_ANALYSIS");
    holdUntilDropped = hold ? static_cast<uint32_t>(strtoul(hold, nullptr, 10)) : 0;
    analyses = static_cast<IntegrityAnalysis *>(calloc(inputs, sizeof *analyses));
    bool made = analyses != nullptr;
    for (int i = 0; made && i < inputs; i++) {
        made = beginIntegrityAnalysis(&analyses[i], plan.inTypes[i], maxDelay, verdictAfter);
        if (made)
            integrityOutputs(&analyses[i], wanted);
    }
    for (int r = 0; made && r < readers; r++) {
        Reader &reader = readerStates[r];
        memset(&reader, 0, sizeof reader);
        reader.words = static_cast<uint32_t *>(malloc(plan.frames * sizeof *reader.words));
        reader.inexact = static_cast<uint8_t *>(malloc(plan.frames));
        made = reader.words && reader.inexact;
    }
    return made;
}

void startAnalysers(int64_t start, double ticks)
{
    runStart = start;
    ticksPerUs = ticks;
    for (int r = 1; r < readers; r++) {
        readerStates[r].thread = CreateThread(nullptr, 0, readerThread,
                                              reinterpret_cast<void *>(static_cast<intptr_t>(r)), 0,
                                              nullptr);
        // The ring lets the analysis lag; the driver's thread must not wait for the processor.
        if (readerStates[r].thread) {
            SetThreadPriority(readerStates[r].thread, THREAD_PRIORITY_BELOW_NORMAL);
            noteCheckerThread(readerStates[r].thread);  // the checker's cost, not the driver's
        }
    }
}

bool pollAnalysers()
{
    // A thread that could not be made leaves its inputs to the main thread.
    for (int r = 0; r < readers; r++) {
        if (r == 0 || !readerStates[r].thread)
            takeBlocks(r);
    }
    for (int i = 0; i < inputs; i++) {
        if (analyses[i].results.state != INTEGRITY_NO_LOCK)
            return false;
    }
    return true;
}

// The input position the window should have reached: past what the callbacks brought
// (`delivered`), the switches the silence after the latest of them (`latest`, its arrival) up to
// the window's end held. A switch late by less than 1.5 periods is not one missing; one that came
// after the window's end, but before the analysis ended, counts as come.
static int64_t expectedEnd(int64_t windowEnd, double periodUs, int64_t delivered, int64_t latest)
{
    if (latest == 0 || periodUs <= 0)
        return delivered;
    double silentPeriods = (windowEnd - latest) / calibratedTicksPerUs() / periodUs;
    int64_t switches = silentPeriods >= 1.5 ? static_cast<int64_t>(silentPeriods - 0.5) : 0;
    return delivered + switches * integrityPlan.frames;
}

// Whether every reader has taken the blocks up to switch `claimed` (those the ring dropped aside).
static bool everyBlockTaken(uint32_t claimed)
{
    for (int i = 0; i < inputs; i++) {
        if (analyses[i].results.state != INTEGRITY_NO_LOCK &&
            analyses[i].nextPosition < static_cast<int64_t>(claimed) * integrityPlan.frames)
            return false;
    }
    return true;
}

void finishAnalysers(int64_t windowEnd, double periodUs)
{
    SampleRing *ring = integrityPlan.ring;
    // What the callbacks had brought when the window ended: a block they dropped is the checker's,
    // a switch that never came the driver's.
    const uint32_t claimed = ring->switches.load(std::memory_order_acquire);
    const int64_t latest = ring->latestTicks.load(std::memory_order_relaxed);
    InterlockedExchange(&stopping, 1);
    pollAnalysers();
    for (int r = 1; r < readers; r++) {
        if (readerStates[r].thread) {
            WaitForSingleObject(readerStates[r].thread, INFINITE);
            CloseHandle(readerStates[r].thread);
            readerStates[r].thread = nullptr;
        }
    }
    // A block a callback was still filling when the window ended is there within microseconds.
    for (int settle = 0; settle < 4 && !everyBlockTaken(claimed); settle++) {
        Sleep(5);
        for (int r = 0; r < readers; r++)
            takeBlocks(r);
    }
    const int64_t delivered = static_cast<int64_t>(claimed) * integrityPlan.frames;
    const int64_t lastCame = latest ? latest : readerStates[0].lastArrival;
    for (int i = 0; i < inputs; i++)
        finishIntegrityAnalysis(&analyses[i], expectedEnd(windowEnd, periodUs, delivered, lastCame),
                                delivered);
}

void endAnalysers()
{
    for (int i = 0; analyses && i < inputs; i++)
        endIntegrityAnalysis(&analyses[i]);
    free(analyses);
    analyses = nullptr;
    for (int r = 0; r < readers; r++) {
        free(readerStates[r].words);
        free(readerStates[r].inexact);
        readerStates[r].words = nullptr;
        readerStates[r].inexact = nullptr;
    }
}

int analyserCount()
{
    return readers;
}

int analysedInputs()
{
    return inputs;
}

const IntegrityAnalysis &inputAnalysis(int input)
{
    return analyses[input];
}

double analysedTimesRealTime(double rate)
{
    double slowest = 0, audio = 0;
    for (int r = 0; r < readers; r++) {
        slowest = fmax(slowest, ticksToUs(readerStates[r].busyTicks));
        audio = fmax(audio, static_cast<double>(readerStates[r].frames));
    }
    return audio > 0 && slowest > 0 && usableRate(rate) ? audio / rate / (slowest / 1e6) : NAN;
}

void analysersProgress(char *line, size_t size)
{
    int locked = 0;
    for (int i = 0; i < inputs; i++)
        locked += analyses[i].results.state == INTEGRITY_LOCKED;
    if (inputs == 1) {
        snprintf(line, size, "integrity: %s, %lld samples, %lld matched",
                 locked ? "locked" : "searching", static_cast<long long>(analyses[0].fed),
                 static_cast<long long>(analyses[0].results.matched));
        return;
    }
    snprintf(line, size, "integrity: %d of %d inputs locked, %lld samples each", locked, inputs,
             static_cast<long long>(analyses[0].fed));
}
