// Counts calls the process makes to allocation, lock, wait and a few other system functions, by
// pointing this executable's import address table at counting wrappers. quorvel_core is linked
// into the executable, so every such call of the handler passes through that table: a handler
// that allocates, locks, waits or sleeps cannot do it unseen.
#pragma once

struct CountedFunction {
    const char *name;
    const char *kind;  // "allocation", "lock", "wait", "other"
    bool imported;     // the executable imports it; a function it does not import it cannot call
    long calls;        // while counting was on
};

// Patches the table. Returns the number of table slots patched, or -1 when the table could not be
// written.
int installCallCounters();
// Counting is off until switched on; the wrappers always pass the call through.
void setCounting(bool on);
void resetCallCounts();
// The watched functions, in a fixed order; *count receives their number.
const CountedFunction *countedFunctions(int *count);
long totalCountedCalls();
