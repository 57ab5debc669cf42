// What came back through the loopback cable, judged against the known sequence
// (integrity_sequence.h): it finds the delay, then accounts for every sample received after the
// lock. Main thread, fed block by block in input order with the decoded words of input I. Plain
// records: beginIntegrityAnalysis makes the history it needs, endIntegrityAnalysis frees it;
// nothing in between allocates.
//
// Once locked, received position q carries the word of q - delay. A sample whose top 16 bits are
// those of its expected word is on the delay (matched, or corrupted in its lower bits); other
// samples open a disturbance that ends when the stream is back on the old delay (the samples in it
// were corrupted) or LOCK_RUN samples in a row are on a new one (dropped, repeated, slip). The
// search for a new delay looks near the old one at every sample and over the whole bound only at
// every 32nd, as the search for the lock does: a foreign input is analysed in real time too.
#pragma once

#include <stdint.h>

enum IntegrityEventKind {
    EVENT_CORRUPTED,  // a stretch of wrong values while the delay held (fewer than RUN_GAP good
                      // ones between them); bits: those that differed
    EVENT_INVERTED,   // a run of values that were the negation of the expected ones
    EVENT_DROPPED,    // the sequence went on `size` samples further than expected: missing
    EVENT_REPEATED,   // the sequence went back `size` samples that had been received: twice
    EVENT_SLIP,       // any other change of the delay; size: the change (+: the sequence later)
    EVENT_KINDS
};

struct IntegrityEvent {
    int kind;
    int64_t position;      // input stream position of its first sample
    int64_t size;          // samples: the run's length, the missing or repeated ones, the change
    uint32_t bits;         // corrupted: the bits that differed in any sample of the run; 0 when
                           // every sample was off by less than a step (inexact)
    int64_t switchNumber;  // of the block its first sample arrived in
    double timeUs;         // that block's time since the start
};

enum IntegrityState { INTEGRITY_SEARCHING, INTEGRITY_LOCKED, INTEGRITY_NO_LOCK };
enum NoLockReason {
    NO_LOCK_SILENT,   // peak at most -90 dBFS: digital silence, or nearly
    NO_LOCK_NOISE,    // peak below -30 dBFS
    NO_LOCK_FOREIGN,  // louder, and not the sequence: likely another channel's signal
};

// RUN_GAP: good samples that end a stretch of corrupted or inverted ones.
enum { MAX_INTEGRITY_EVENTS = 100, LOCK_RUN = 8, RUN_GAP = 64 };

struct IntegrityBlockMark {
    int64_t position;
    int64_t switchNumber;
    double timeUs;
};

struct IntegrityAnalysis {
    // Fixed at the start.
    int bits;                 // of the input's sample type
    uint32_t mask;            // the word's bits
    int64_t maxDelay;         // delays searched: 0 to maxDelay samples
    int64_t noLockSamples;    // received without a lock, then the verdict

    // Results, read after finishIntegrityAnalysis (state and counts also while running).
    int state;
    int64_t delay;            // locked: the delay of the moment
    int64_t lockDelay;        // ... found first
    int64_t lockPosition;     // input position of the first sample of the lock
    int64_t received;         // samples fed
    int64_t unseen;           // samples missing between blocks: the checker fell behind
    int64_t matched;          // after lock: equal to the sequence at the delay of the moment
    int64_t corrupted;        // wrong while the delay held (inverted not included)
    int64_t inverted;
    int64_t foreign;          // received in a slip, on neither delay
    int64_t dropped;          // missing from the sequence
    int64_t repeated;         // received twice
    int64_t slipped;          // the slips' changes of delay, as magnitudes
    int64_t eventCounts[EVENT_KINDS];
    int keptEvents;           // the first MAX_INTEGRITY_EVENTS events in full
    IntegrityEvent events[MAX_INTEGRITY_EVENTS];
    uint32_t differingBits;   // bits that differed in any matched or corrupted sample
    int noLockReason;         // NO_LOCK: what the input carried while searching
    double peakDbfs;          // -infinity for digital silence
    double rmsDbfs;

    // Working state.
    int64_t nextPosition;     // -1 before the first block
    int64_t contiguousFrom;   // first position of the history's current stretch
    uint32_t *history;        // received words by position & historyMask
    uint8_t *historyInexact;
    uint32_t historyMask;
    IntegrityBlockMark *marks;  // the latest blocks, for the events' switch and time
    uint32_t markMask;
    uint64_t markCount;
    bool disturbed;
    int64_t disturbStart;     // first position off the delay
    int oldRun;               // samples in a row back on the old delay
    int64_t lockSequence;     // sequence position of the lock's first sample
    int runKind;              // the open corrupted or inverted run; -1 none
    int64_t runEnd;           // position after its last sample
    int runEvent;             // its index in events; -1 when not kept
    int64_t peak;             // searching: largest magnitude received
    double sumSquares;
    uint32_t expected[256];   // words of the chunk being compared
};

// Prepares the analysis of an input of sample type `type` (sequenceTypeBits non-zero): delays up
// to maxDelay samples, the verdict after noLockSamples without a lock (at least maxDelay plus the
// longest block). False when there is no memory.
bool beginIntegrityAnalysis(IntegrityAnalysis *analysis, long type, int64_t maxDelay,
                            int64_t noLockSamples);
// One block: `count` words of input positions position .. position + count - 1 (readSequence's
// output; inexact may be null for none), arrived in switch `switchNumber`, `timeUs` after the
// start. A position past the end of the last block counts the samples between as unseen.
void analyseIntegrityBlock(IntegrityAnalysis *analysis, const uint32_t *words, const uint8_t *inexact,
                           long count, int64_t position, int64_t switchNumber, double timeUs);
// After the last block: a disturbance still open counts against the old delay, and a search
// still on gets its verdict.
void finishIntegrityAnalysis(IntegrityAnalysis *analysis);
// Frees the history.
void endIntegrityAnalysis(IntegrityAnalysis *analysis);
// Bits of the word that came through unchanged in every compared sample (matched or corrupted).
int transparentBits(const IntegrityAnalysis *analysis);
