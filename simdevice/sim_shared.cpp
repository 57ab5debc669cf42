// The named shared-memory record through which a device shows what it saw.
#include "sim_device.h"

#include <ctype.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

static_assert(sizeof(SimCall) == 20, "same record in both bitnesses");
static_assert((int)SIM_RELEASE < (int)SIM_OPS, "every operation is counted");
static_assert(offsetof(SimShared, supportedAnswers) == 21 * 4, "same record in both bitnesses");
static_assert(offsetof(SimShared, opCounts) == (35 + 2 * SIM_SELECTORS) * 4,
              "same record in both bitnesses");
static_assert(offsetof(SimShared, calls) == (36 + 2 * SIM_SELECTORS + SIM_OPS) * 4,
              "same record in both bitnesses");
static_assert(sizeof(SimShared) ==
                  (38 + 2 * SIM_SELECTORS + SIM_OPS) * 4 + SIM_MAX_CALLS * sizeof(SimCall) + 34 * 4,
              "same record in both bitnesses");

namespace {

void clearRecord(SimShared *shared) {
    memset(shared, 0, sizeof *shared);
    for (int s = 0; s < SIM_SELECTORS; s++)
        shared->supportedAnswers[s] = shared->messageAnswers[s] = -1;
}

}  // namespace

void simSharedName(const char *clsidText, char *out, int outSize) {
    if (!out || outSize <= 0)
        return;
    if (!clsidText)
        clsidText = "";
    // The same device whether its class was written with braces or without, in either case.
    bool braced = clsidText[0] == '{';
    snprintf(out, outSize, "QuorvelSim-%s%s%s", braced ? "" : "{", clsidText, braced ? "" : "}");
    size_t prefix = strlen("QuorvelSim-");
    if (strlen(out) > prefix) {
        for (char *c = out + prefix; *c; c++)
            *c = (char)toupper((unsigned char)*c);
    }
}

SimShared *simOpenShared(const char *clsidText, bool reset, HANDLE *mapping) {
    if (mapping)
        *mapping = nullptr;
    char name[128];
    simSharedName(clsidText, name, sizeof name);
    HANDLE handle = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                       sizeof(SimShared), name);
    if (!handle)
        return nullptr;
    bool fresh = GetLastError() != ERROR_ALREADY_EXISTS;
    auto *shared = (SimShared *)MapViewOfFile(handle, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(SimShared));
    if (!shared) {
        CloseHandle(handle);
        return nullptr;
    }
    if (reset || fresh)
        clearRecord(shared);
    shared->magic = SIM_SHARED_MAGIC;
    if (mapping)
        *mapping = handle;
    else
        CloseHandle(handle);  // the view keeps the record alive
    return shared;
}

void simCloseShared(SimShared *shared, HANDLE mapping) {
    if (shared)
        UnmapViewOfFile(shared);
    if (mapping)
        CloseHandle(mapping);
}
