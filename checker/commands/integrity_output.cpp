// How quorvelcheck integrity shows what came back: the lock, the accounting of every sample, each
// event with its place, the transparent bits and the timing, as text and as JSON.
#include "checker/commands/integrity_parts.h"

#include <math.h>
#include <stdio.h>

static void eventText(const IntegrityEvent &e, double rate, char *out, size_t size)
{
    char what[64];
    switch (e.kind) {
    case EVENT_CORRUPTED:
        snprintf(what, sizeof what, "%lld samples, bits 0x%08X", static_cast<long long>(e.size), e.bits);
        break;
    case EVENT_SLIP:
        snprintf(what, sizeof what, "%+lld samples", static_cast<long long>(e.size));
        break;
    default:
        snprintf(what, sizeof what, "%lld samples", static_cast<long long>(e.size));
    }
    snprintf(out, size, "%-9s %-28s at position %lld (switch %lld, %.3f ms; %.3f s of audio in)",
             integrityEventName(e.kind), what, static_cast<long long>(e.position),
             static_cast<long long>(e.switchNumber), e.timeUs / 1000, e.position / rate);
}

long long eventTotal(const int64_t *eventCounts)
{
    long long events = 0;
    for (int k = 0; k < EVENT_KINDS; k++)
        events += eventCounts[k];
    return events;
}

void printEventLines(const int64_t *eventCounts, const IntegrityEvent *events, int kept, double rate,
                     const char *indent)
{
    long long total = eventTotal(eventCounts);
    printf("%sEvents: %s", indent, total ? "" : "none\n");
    if (!total)
        return;
    printf("%lld (", total);
    bool first = true;
    for (int k = 0; k < EVENT_KINDS; k++) {
        if (eventCounts[k]) {
            printf("%s%s %lld", first ? "" : ", ", integrityEventName(k),
                   static_cast<long long>(eventCounts[k]));
            first = false;
        }
    }
    printf(")");
    if (total > kept)
        printf("; the first %d in full", kept);
    printf("\n");
    for (int k = 0; k < kept; k++) {
        char line[200];
        eventText(events[k], rate, line, sizeof line);
        printf("%s  %s\n", indent, line);
    }
}

const char *noLockWords(int reason, NoLockWording wording)
{
    static const char *const words[WORDINGS][3] = {
        {"silent", "low noise", "a loud signal that is not the sequence: a wrong channel?"},
        {"was silent", "carried only low noise",
         "carried a loud signal that is not the sequence (a wrong channel?)"},
        {"silent", "noise", "foreign"},
        {"silence", "noise", "another signal"},
        {"silent", "low noise", "another signal"},
    };
    int row = wording >= 0 && wording < WORDINGS ? wording : WORDING_TEXT;
    bool known = reason >= NO_LOCK_SILENT && reason <= NO_LOCK_FOREIGN;
    return words[row][known ? reason : NO_LOCK_FOREIGN];
}

double shownPeak(double dbfs)
{
    return dbfs > -0.05 ? 0.0 : dbfs;
}

bool integrityTransformText(const IntegrityResults &r, char *out, size_t size)
{
    if (r.analysis.state != INTEGRITY_LOCKED || (r.analysis.sign > 0 && r.analysis.shift <= 0))
        return false;
    if (r.analysis.shift <= 0) {
        snprintf(out, size, "inverted on every sample: the polarity is reversed");
        return true;
    }
    snprintf(out, size, "%s%d bit%s lower on every sample: %sa gain of 1/%ld (%.1f dB)",
             r.analysis.sign < 0 ? "inverted and " : "", r.analysis.shift, r.analysis.shift == 1 ? "" : "s",
             r.analysis.sign < 0 ? "the polarity is reversed, and " : "", 1L << r.analysis.shift,
             -20 * log10(static_cast<double>(1L << r.analysis.shift)));
    return true;
}

static void printLocked(const IntegrityResults &r)
{
    char changed[160];
    printf("Sequence found: delay %lld frames, from input position %lld\n",
           static_cast<long long>(r.analysis.lockDelay), static_cast<long long>(r.analysis.lockPosition));
    if (integrityTransformText(r, changed, sizeof changed))
        printf("The sequence came back %s\n", changed);
    printf("After the lock: %lld samples received: %lld matched, %lld corrupted, %lld inverted, "
           "%lld scaled, %lld in slips on neither delay; the delay changed by %lld dropped, %lld "
           "repeated and %lld slipped\n",
           static_cast<long long>(r.analysis.received), static_cast<long long>(r.analysis.matched),
           static_cast<long long>(r.analysis.corrupted), static_cast<long long>(r.analysis.inverted),
           static_cast<long long>(r.analysis.scaled), static_cast<long long>(r.analysis.foreign),
           static_cast<long long>(r.analysis.dropped), static_cast<long long>(r.analysis.repeated),
           static_cast<long long>(r.analysis.slipped));
    if (r.analysis.missing) {
        printf("Never arrived: %lld samples expected from input position %lld to the end of the run "
               "(the driver stopped delivering input)\n", static_cast<long long>(r.analysis.missing),
               static_cast<long long>(r.analysis.missingFrom));
    }
    printEventLines(r.analysis.eventCounts, r.analysis.events, r.analysis.keptEvents,
                    r.setup.figures.sampleRate, "");
    printf("Transparent to %d of %d bits%s\n", r.analysis.transparentBits, r.bits,
           r.analysis.differingBits ? "" : " (every bit came through unchanged)");
    if (r.analysis.unseen || r.blocksDroppedByChecker) {
        printf("Not judged: %lld samples the checker had no room for (its own fault)\n",
               static_cast<long long>(r.analysis.unseen));
    }
    if (r.timing.late > 0) {
        printf("Late switches and data: %lld late switch%s; %s\n", r.timing.late,
               r.timing.late == 1 ? "" : "es",
               eventTotal(r.analysis.eventCounts) || r.analysis.missing ? "samples went wrong too (above)"
                                          : "no sample was lost: the timing went wrong, not the data");
    }
}

void printIntegrityText(const CheckerOptions &, int index, const SessionOutcome &, int exitCode)
{
    if (!resultsStand(exitCode))
        return;
    const IntegrityResults &r = integrityResults;
    const RunSetup &s = r.setup;
    char rate[32], out[32], in[32];
    printDriverHeading(index);
    if (r.stage < RUN_STARTED) {
        printCallNotes();
        return;
    }
    formatRate(s.figures.sampleRate, rate, sizeof rate);
    printf("Integrity: output %ld (%s) to input %ld (%s), %d bits, %ld frames at %s Hz, %.2f s\n",
           r.outChannel, typeText(r.outType, out, sizeof out), r.inChannel,
           typeText(r.inType, in, sizeof in), r.bits, s.bufferSize, rate, s.elapsedS);
    if (r.stage >= RUN_MEASURED) {
        if (r.analysis.state != INTEGRITY_LOCKED) {
            printf("Sequence: not found (the input carried %s; peak %.1f dBFS, RMS %.1f dBFS)\n",
                   noLockWords(r.analysis.noLockReason, WORDING_TEXT), shownPeak(r.analysis.peakDbfs), r.analysis.rmsDbfs);
        } else {
            printLocked(r);
        }
        if (isfinite(r.timesRealTime))
            printf("Analysed at %.1f times real time\n", r.timesRealTime);
        printTiming(r.timing, s.periodUs);
        printMessages(r.messages);
        printNotifications(r.notifications, nullptr);
        printStreamKept(r.timing, s.periodUs);
    }
    printCallNotes();
}

const char *routeCountName(int count)
{
    static const char *const names[ROUTE_COUNTS] = {
        "searched", "received", "matched", "corrupted", "inverted", "scaled",
        "foreign", "dropped", "repeated", "slipped", "unseen", "missing"};
    return count >= 0 && count < ROUTE_COUNTS ? names[count] : "?";
}

// The lock, the levels and the accounting of every sample.
static void jsonAccount(const IntegrityResults &r)
{
    jsonBool("locked", r.analysis.state == INTEGRITY_LOCKED);
    if (r.analysis.state == INTEGRITY_LOCKED) {
        jsonInteger("delay_frames", r.analysis.lockDelay);
        jsonInteger("lock_position", r.analysis.lockPosition);
        jsonNull("no_lock_reason");
    } else {
        jsonNull("delay_frames");
        jsonNull("lock_position");
        jsonText("no_lock_reason", noLockWords(r.analysis.noLockReason, WORDING_JSON));
    }
    jsonNumber("peak_dbfs", r.analysis.peakDbfs);
    jsonNumber("rms_dbfs", r.analysis.rmsDbfs);
    bool locked = r.analysis.state == INTEGRITY_LOCKED;
    if (locked)
        jsonBool("polarity_reversed", r.analysis.sign < 0);
    else
        jsonNull("polarity_reversed");
    jsonNumber("shift_bits", locked ? r.analysis.shift : NAN);
    // In the order, and with the names, a route of every channel gives its counts.
    const int64_t counts[ROUTE_COUNTS] = {r.analysis.searched, r.analysis.received, r.analysis.matched, r.analysis.corrupted, r.analysis.inverted,
                                          r.analysis.scaled, r.analysis.foreign, r.analysis.dropped, r.analysis.repeated, r.analysis.slipped,
                                          r.analysis.unseen, r.analysis.missing};
    jsonBeginObject("counts");
    for (int k = 0; k < ROUTE_COUNTS; k++)
        jsonInteger(routeCountName(k), counts[k]);
    jsonNumber("missing_from", r.analysis.missing ? static_cast<double>(r.analysis.missingFrom) : NAN);
    jsonEndObject();
}

void jsonEventFields(const int64_t *eventCounts, const IntegrityEvent *events, int kept)
{
    jsonBeginObject("event_counts");
    for (int k = 0; k < EVENT_KINDS; k++)
        jsonInteger(integrityEventName(k), eventCounts[k]);
    jsonEndObject();
    jsonBeginArray("events");
    for (int k = 0; k < kept; k++) {
        const IntegrityEvent &e = events[k];
        char bits[16];
        snprintf(bits, sizeof bits, "0x%08X", e.bits);
        jsonBeginObject(nullptr);
        jsonText("kind", integrityEventName(e.kind));
        jsonInteger("position", e.position);
        jsonInteger("size", e.size);
        jsonText("bits", e.kind == EVENT_CORRUPTED ? bits : nullptr);
        jsonInteger("switch", e.switchNumber);
        jsonNumber("time_ms", e.timeUs / 1000);
        jsonEndObject();
    }
    jsonEndArray();
}

void writeIntegrityDocument(const CheckerOptions &options, int index, const SessionOutcome &outcome,
                            int exitCode)
{
    const IntegrityResults &r = integrityResults;
    const RunSetup &s = r.setup;
    if (!beginDocument(options, index, resultsStand(exitCode), exitCode))
        return;
    if (r.stage >= RUN_STARTED) {
        jsonCable(r.outChannel, r.inChannel, r.outType, r.inType);
        jsonInteger("bits", r.bits);
        jsonInteger("buffer_size", s.bufferSize);
        jsonNumber("sample_rate", s.figures.sampleRate);
    }
    if (r.stage >= RUN_MEASURED) {
        jsonNumber("seconds", s.elapsedS);
        jsonAccount(r);
        jsonEventFields(r.analysis.eventCounts, r.analysis.events, r.analysis.keptEvents);
        jsonInteger("transparent_bits", r.analysis.transparentBits);
        char differing[16];
        snprintf(differing, sizeof differing, "0x%08X", r.analysis.differingBits);
        jsonText("differing_bits", differing);
        jsonInteger("blocks_dropped_by_checker", r.blocksDroppedByChecker);
        jsonNumber("analysed_times_real_time", r.timesRealTime);
        jsonTiming(r.timing, s.periodUs);
        jsonMessages(r.messages);
        jsonNotifications(r.notifications, nullptr);
    }
    jsonCallNotes();
    jsonSessionEnd(outcome, exitCode);
}
