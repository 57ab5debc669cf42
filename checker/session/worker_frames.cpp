// What comes from a worker: the frames on its pipe, each checked before it is used, and what the
// driver wrote on the worker's standard handles.
#include "checker/session/worker_parent.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

void markCorrupt(WorkerSeen *seen, SessionOutcome *outcome, const char *record, const char *format,
                 ...)
{
    if (seen->corrupt)
        return;
    seen->corrupt = true;
    snprintf(outcome->record, sizeof outcome->record, "%s", record);
    va_list args;
    va_start(args, format);
    vsnprintf(outcome->field, sizeof outcome->field, format, args);
    va_end(args);
}

// A record, copied over its place only when its check holds.
static void takeRecord(const FrameHeader &header, const char *payload, WorkerSeen *seen,
                       SessionOutcome *outcome)
{
    const RecordSpec *record = recordAt(header.id);
    if (!record) {
        markCorrupt(seen, outcome, "", "a record numbered %lu, which the program does not have",
                    static_cast<unsigned long>(header.id));
        return;
    }
    if (record->size != header.size) {
        markCorrupt(seen, outcome, record->name, "its size (%lu bytes, not %lu)",
                    static_cast<unsigned long>(header.size), static_cast<unsigned long>(record->size));
        return;
    }
    seen->copy.resize(header.size / sizeof(uint64_t) + 1);
    memcpy(seen->copy.data(), payload, header.size);
    const char *fault = record->fault ? record->fault(seen->copy.data()) : nullptr;
    if (fault) {
        markCorrupt(seen, outcome, record->name, "%s", fault);
        return;
    }
    memcpy(record->place, seen->copy.data(), header.size);
    tellRecordTaken(record->place);
}

static void takeFrame(const FrameHeader &header, const char *payload, WorkerSeen *seen,
                      SessionOutcome *outcome)
{
    std::string text(payload, header.kind == FRAME_RECORD ? 0 : header.size);
    switch (header.kind) {
    case FRAME_RECORD:
        takeRecord(header, payload, seen, outcome);
        break;
    case FRAME_DONE:
        // A session ends as interrupted only when the parent asked it to.
        if (header.id > EXIT_SHORTFALL || (header.id == EXIT_INTERRUPTED && !seen->interrupted)) {
            markCorrupt(seen, outcome, "", "the session's status (%lu)",
                        static_cast<unsigned long>(header.id));
            return;
        }
        seen->done = true;
        seen->status = static_cast<int>(header.id);
        setFailureText(text.c_str());
        break;
    case FRAME_MESSAGE:
        if (seen->quiet)
            break;
        clearProgress();
        fprintf(stderr, "quorvelcheck: %s\n", text.c_str());
        fflush(stderr);
        break;
    case FRAME_PROGRESS:
        if (!progressWanted() || seen->quiet)
            break;
        if (text.empty())
            clearProgress();
        else
            showProgress("%s", text.c_str());
        break;
    }
}

// A header's claim checked before its bytes are waited for: a kind the program has, a size no
// larger than the largest record (or a text's).
static bool headerHolds(const FrameHeader &header, WorkerSeen *seen, SessionOutcome *outcome)
{
    if (header.kind < FRAME_RECORD || header.kind > FRAME_PROGRESS) {
        markCorrupt(seen, outcome, "", "a frame of kind %lu", static_cast<unsigned long>(header.kind));
        return false;
    }
    size_t most = header.kind == FRAME_RECORD ? largestRecord() : size_t(MAX_TEXT_FRAME);
    if (header.size > most) {
        markCorrupt(seen, outcome, "", "a frame that claimed %lu bytes (at most %lu)",
                    static_cast<unsigned long>(header.size), static_cast<unsigned long>(most));
        return false;
    }
    return true;
}

static void takeFrames(WorkerSeen *seen, SessionOutcome *outcome)
{
    std::string *pending = &seen->pending;
    size_t at = 0;
    while (!seen->corrupt && pending->size() - at >= sizeof(FrameHeader)) {
        FrameHeader header;
        memcpy(&header, pending->data() + at, sizeof header);
        if (!headerHolds(header, seen, outcome) || pending->size() - at - sizeof header < header.size)
            break;
        takeFrame(header, pending->data() + at + sizeof header, seen, outcome);
        at += sizeof header + header.size;
    }
    pending->erase(0, at);
}

// Appends at most `most` bytes of what the pipe holds; the count appended.
static size_t readPipe(HANDLE pipe, size_t most, void (*take)(const char *, size_t, void *),
                       void *context)
{
    size_t taken = 0;
    while (taken < most) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) || available == 0)
            break;
        char buffer[65536];
        DWORD wanted = available < sizeof buffer ? available : sizeof buffer;
        if (wanted > most - taken)
            wanted = static_cast<DWORD>(most - taken);
        DWORD got = 0;
        if (!ReadFile(pipe, buffer, wanted, &got, nullptr) || got == 0)
            break;
        take(buffer, got, context);
        taken += got;
    }
    return taken;
}

static void appendPending(const char *bytes, size_t size, void *seen)
{
    static_cast<WorkerSeen *>(seen)->pending.append(bytes, size);
}

static void appendOutput(const char *bytes, size_t size, void *seen)
{
    // A worker beside another session: its driver's lines join this process's own standard
    // output, which the parent of this process collects.
    const WorkerSeen *w = static_cast<WorkerSeen *>(seen);
    if (w->quiet && !w->ownOutput) {
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes, static_cast<DWORD>(size), &written, nullptr);
        return;
    }
    collectDriverOutput(bytes, size);
}

void takeWhatCame(WorkerProcess *w, WorkerSeen *seen, SessionOutcome *outcome, size_t most)
{
    // At most `most` bytes of each: a worker that writes without pause does not keep the parent
    // from its time checks.
    readPipe(w->outputRead, most, appendOutput, seen);
    if (!seen->corrupt && readPipe(w->pipeRead, most, appendPending, seen) > 0)
        takeFrames(seen, outcome);
}
