// The integrity analysis against what 32 channels at 384 kHz need in real time (12.3 M samples/s):
// streams recorded with writeSequence, clean and with faults, read back with readSequence and
// analysed block by block as the checker's main thread does; every channel at once through the
// worker's readers against 8 to 128 channels at 192 kHz; 128 channels fed in real time with one
// core busy, and the blocks the ring dropped; and writeSequence per sample, which runs in the
// driver's callback.
//
//     integrity_bench [--quick]      (--quick: fewer rounds and samples, 5 s in real time, not 20)
//
// Exit code 0, or 1 when an analysis did not find what its stream holds.
#include "bench/bench_clock.h"
#include "bench/integrity_channels.h"
#include "checker/measure/integrity_parts.h"

#include <algorithm>
#include <stdio.h>
#include <string.h>
#include <vector>

namespace {

const double NEED = 32 * 384000.0;  // samples per second
const double CLEAN_TARGET = 10;     // times the need
const long BLOCK = 256;
const int64_t DELAY = 3000;
const int64_t MAX_DELAY = 768000;   // 2 s at 384 kHz
const long FAULT_SPACING = 20000;
const long TYPES[] = {ASIOST_INT16_LSB, ASIOST_INT24_LSB, ASIOST_INT32_LSB, ASIOST_FLOAT32_LSB,
                      ASIOST_FLOAT64_LSB, ASIOST_INT32_LSB24, ASIOST_INT32_MSB};
const long WRITE_FRAMES[] = {32, 256};

struct Settings {
    int rounds;
    long samples;    // per stream
    double seconds;  // fed in real time
};

// The bytes input I brings back, as the ring's blocks would hold them.
struct Stream {
    long type;
    int bytes;
    long frames;
    std::vector<unsigned char> data;
};

void appendSequence(Stream *s, int64_t position, long count)
{
    s->data.resize((s->frames + count) * s->bytes);
    writeSequence(&s->data[s->frames * s->bytes], s->type, 0, position, count);
    s->frames += count;
}

void appendZeros(Stream *s, long count)
{
    s->data.resize((s->frames + count) * s->bytes, 0);
    s->frames += count;
}

void appendNoise(Stream *s, long count, uint32_t *state)
{
    s->data.resize((s->frames + count) * s->bytes);
    for (size_t k = s->frames * s->bytes; k < s->data.size(); k++) {
        *state = *state * 1664525u + 1013904223u;
        s->data[k] = static_cast<unsigned char>(*state >> 24);
    }
    s->frames += count;
}

enum StreamKind { CLEAN, FAULTY, FOREIGN, LOST };
const char *STREAM_NAMES[] = {
    "clean",
    "a fault every 20000 samples",
    "foreign noise, never locked",
    "lock lost to noise",
};

// Records a stream of about `samples` samples. Returns the events planted in it.
long record(Stream *s, int kind, long type, long samples)
{
    s->type = type;
    s->bytes = sequenceTypeBytes(type);
    s->frames = 0;
    s->data.clear();
    uint32_t state = 12345;
    if (kind == FOREIGN) {
        appendNoise(s, samples, &state);
        return 0;
    }
    appendZeros(s, DELAY);
    if (kind == CLEAN) {
        appendSequence(s, 0, samples - DELAY);
        return 0;
    }
    if (kind == LOST) {
        appendSequence(s, 0, FAULT_SPACING);
        appendNoise(s, samples - s->frames, &state);
        return 0;
    }
    // Faulty: a dropped buffer, a repeated buffer, an inserted zero, a corrupted sample and a noise
    // burst, in turn.
    int64_t position = 0;
    long planted = 0;
    while (s->frames + 2 * FAULT_SPACING < samples) {
        appendSequence(s, position, FAULT_SPACING);
        position += FAULT_SPACING;
        switch (planted % 5) {
        case 0: position += BLOCK; break;
        case 1: position -= BLOCK; break;
        case 2: appendZeros(s, 1); break;
        case 3: {
            const bool big = type < ASIOST_INT16_LSB;
            s->data[(s->frames - 1) * s->bytes + (big ? 0 : s->bytes - 1)] ^= 0x40;
            break;
        }
        case 4:
            appendNoise(s, 500, &state);
            position += 500;
            break;
        }
        planted++;
    }
    appendSequence(s, position, FAULT_SPACING);
    return planted;
}

// Reads and analyses the whole stream in blocks; returns the microseconds it took.
double analyse(const Stream &s, IntegrityAnalysis *a, int64_t noLockSamples)
{
    uint32_t words[BLOCK];
    uint8_t inexact[BLOCK];
    if (!beginIntegrityAnalysis(a, s.type, MAX_DELAY, noLockSamples))
        return -1;
    const int64_t start = benchTicks();
    for (long at = 0; at < s.frames; at += BLOCK) {
        const long count = std::min(BLOCK, s.frames - at);
        readSequence(&s.data[at * s.bytes], s.type, count, words, inexact);
        analyseIntegrityBlock(a, words, inexact, count, at, at / BLOCK, at / 0.384);
    }
    finishIntegrityAnalysis(a, 0);
    return benchMicroseconds(benchTicks() - start);
}

// Faults of kind c (0 to 4, in turn) among the first `planted`.
long plantedOf(long planted, int c)
{
    return (planted - c + 4) / 5;
}

// Whether the analysis found what the stream holds. Noise matches a word now and then by chance
// (one in 2^16 for 16-bit types), which splits a noise burst in two.
bool judged(const IntegrityAnalysis &a, int kind, long planted)
{
    long events = 0;
    for (int k = 0; k < EVENT_KINDS; k++)
        events += static_cast<long>(a.results.eventCounts[k]);
    const long values = static_cast<long>(a.results.eventCounts[EVENT_CORRUPTED] + a.results.eventCounts[EVENT_INVERTED]);
    switch (kind) {
    case CLEAN: return a.results.state == INTEGRITY_LOCKED && a.results.delay == DELAY && events == 0;
    case FAULTY:
        return a.results.state == INTEGRITY_LOCKED && a.results.lockDelay == DELAY &&
               a.results.eventCounts[EVENT_DROPPED] == plantedOf(planted, 0) &&
               a.results.eventCounts[EVENT_REPEATED] == plantedOf(planted, 1) &&
               a.results.eventCounts[EVENT_SLIP] == plantedOf(planted, 2) &&
               values >= plantedOf(planted, 3) + plantedOf(planted, 4) &&
               values <= plantedOf(planted, 3) + 2 * plantedOf(planted, 4);
    case FOREIGN: return a.results.state == INTEGRITY_NO_LOCK && a.results.noLockReason == NO_LOCK_FOREIGN;
    case LOST: return a.results.state == INTEGRITY_LOCKED && a.results.matched >= FAULT_SPACING &&
                      a.results.matched < FAULT_SPACING + 100;
    }
    return false;
}

// One table row per stream and type. Returns false when an analysis was wrong.
bool runAnalysis(const Settings &settings)
{
    printf("### The analysis: readSequence and analyseIntegrityBlock on recorded blocks (%s build)\n\n",
           sizeof(void *) == 8 ? "x64" : "x86");
    printf("%ld samples per stream in blocks of %ld, delays searched up to %lld samples (2 s at 384 kHz); "
           "the fastest of %d rounds. The need: 32 channels at 384 kHz, %.1f M samples/s.\n\n",
           settings.samples, BLOCK, static_cast<long long>(MAX_DELAY), settings.rounds, NEED / 1e6);
    printf("| stream | type | samples | events | M samples/s | times the need | target >= %.0f (clean) |\n",
           CLEAN_TARGET);
    printf("|---|---:|---:|---:|---:|---:|---|\n");
    bool right = true;
    double worstClean = 1e30, worstOther = 1e30;
    static IntegrityAnalysis analysis;
    Stream stream;
    for (int kind : {CLEAN, FAULTY, FOREIGN, LOST}) {
        for (long type : TYPES) {
            if ((kind == FOREIGN || kind == LOST) && type != ASIOST_INT32_LSB && type != ASIOST_INT16_LSB)
                continue;
            const long planted = record(&stream, kind, type, settings.samples);
            const int64_t noLock = kind == FOREIGN ? INT64_MAX : 2 * MAX_DELAY;
            double best = 1e30;
            bool found = true;
            long events = 0;
            for (int r = 0; r < settings.rounds; r++) {
                const double us = analyse(stream, &analysis, noLock);
                found = found && us >= 0 && judged(analysis, kind, planted);
                events = 0;
                for (int k = 0; k < EVENT_KINDS; k++)
                    events += static_cast<long>(analysis.results.eventCounts[k]);
                endIntegrityAnalysis(&analysis);
                best = std::min(best, us);
            }
            const double rate = stream.frames / best * 1e6;
            const char *verdict = "-";
            if (kind == CLEAN) {
                verdict = rate >= CLEAN_TARGET * NEED ? "met" : "MISSED";
                worstClean = std::min(worstClean, rate);
            } else {
                worstOther = std::min(worstOther, rate);
            }
            if (!found) {
                verdict = "**WRONG ANALYSIS**";
                right = false;
            }
            printf("| %s | %ld | %ld | %ld | %.1f | %.1f | %s |\n", STREAM_NAMES[kind], type, stream.frames,
                   events, rate / 1e6, rate / NEED, verdict);
        }
    }
    printf("\nClean path: at least %.1f times the need (target %.0f). Faulty, foreign and lost streams: at "
           "least %.1f times the need, real time for %.0f channels at 384 kHz.\n\n",
           worstClean / NEED, CLEAN_TARGET, worstOther / NEED, worstOther / 384000.0);
    return right;
}

// writeSequence as the callback calls it: one buffer of `frames` per call, the position moving on.
void runWrite(const Settings &settings)
{
    printf("### writeSequence per call, as in the buffer-switch callback (%s build)\n\n",
           sizeof(void *) == 8 ? "x64" : "x86");
    printf("| type | frames | ns per sample | us per call |\n");
    printf("|---:|---:|---:|---:|\n");
    std::vector<unsigned char> buffer(256 * 8);
    for (long type : TYPES) {
        for (long frames : WRITE_FRAMES) {
            const long calls = settings.samples / frames;
            double best = 1e30;
            for (int r = 0; r < settings.rounds; r++) {
                const int64_t start = benchTicks();
                for (long k = 0; k < calls; k++)
                    writeSequence(buffer.data(), type, 0, static_cast<int64_t>(k) * frames, frames);
                best = std::min(best, benchMicroseconds(benchTicks() - start) / calls);
            }
            printf("| %ld | %ld | %.2f | %.3f |\n", type, frames, best * 1000 / frames, best);
        }
    }
    printf("\n");
}

}  // namespace

int main(int argc, char **argv)
{
    Settings settings = {7, 1 << 21, 20};
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--quick") == 0) {
            settings.rounds = 3;
            settings.samples = 1 << 19;
            settings.seconds = 5;
        } else {
            fprintf(stderr, "usage: integrity_bench [--quick]\n");
            return 2;
        }
    }
    setvbuf(stdout, nullptr, _IONBF, 0);
    bool right = runAnalysis(settings);
    right = runEveryChannel(settings.rounds, settings.samples / 8) && right;
    right = runDroppedBlocks(settings.seconds) && right;
    runWrite(settings);
    return right ? 0 : 1;
}
