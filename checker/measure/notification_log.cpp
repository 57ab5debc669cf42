// The notifications of a run as its record keeps them: taken from the callbacks' log on the main
// thread after the run, timed from the window's start, and what their pointers point to read with
// a reader that fails instead of faulting, since a driver's pointer may be anything.
#include "checker/measure/measure.h"

#include <windows.h>
#include <string.h>

// Reads up to `size` bytes at `address` into `out`, no further than the end of the committed,
// readable region it lies in; *length is what was read. A bad address is a failed read, never a
// fault: ReadProcessMemory on the own process reports it.
static int readPointer(uint64_t address, void *out, size_t size, size_t *length)
{
    *length = 0;
    if (address == 0)
        return POINTER_NULL;
    if (address != static_cast<uintptr_t>(address))
        return POINTER_UNREADABLE;
    const void *at = reinterpret_cast<const void *>(static_cast<uintptr_t>(address));
    MEMORY_BASIC_INFORMATION region;
    if (VirtualQuery(at, &region, sizeof region) != sizeof region || region.State != MEM_COMMIT)
        return POINTER_UNREADABLE;
    const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                           PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    if (!(region.Protect & readable) || (region.Protect & (PAGE_GUARD | PAGE_NOACCESS)))
        return POINTER_UNREADABLE;
    uintptr_t end = reinterpret_cast<uintptr_t>(region.BaseAddress) + region.RegionSize;
    size_t room = end - static_cast<uintptr_t>(address);
    SIZE_T got = 0;
    if (!ReadProcessMemory(GetCurrentProcess(), at, out, room < size ? room : size, &got) || got == 0)
        return POINTER_UNREADABLE;
    *length = got;
    return POINTER_READ;
}

void keepNotifications(NotificationRecord *record, int64_t windowStart)
{
    record->seen = 0;
    record->kept = 0;
    memset(record->afterRefusal, 0, sizeof record->afterRefusal);
    addNotifications(record, windowStart, 0);
}

void addNotifications(NotificationRecord *record, int64_t windowStart, int run)
{
    record->hostThread = GetCurrentThreadId();
    long room = NOTIFICATION_ROOM - record->kept;
    static Notification taken[NOTIFICATION_ROOM];
    long count = takeNotifications(0, taken, room);
    double perUs = calibratedTicksPerUs();
    for (long k = 0; k < count; k++) {
        NotedNotification &noted = record->items[record->kept++];
        memset(&noted, 0, sizeof noted);
        noted.n = taken[k];
        noted.ms = perUs > 0 ? (taken[k].ticks - windowStart) / perUs / 1e3 : 0;
        noted.run = run;
        if (taken[k].kind != NOTIFY_MESSAGE)
            continue;
        size_t length = 0;
        noted.messageRead = readPointer(taken[k].message, noted.messageBytes, MESSAGE_BYTES, &length);
        noted.messageLength = static_cast<int32_t>(length);
        double opt = 0;
        noted.optRead = readPointer(taken[k].opt, &opt, sizeof opt, &length);
        if (noted.optRead == POINTER_READ && length < sizeof opt)
            noted.optRead = POINTER_UNREADABLE;
        noted.n.rate = noted.optRead == POINTER_READ ? opt : 0;
    }
    record->seen += notificationsSeen();
    for (long s = ASIO_MSG_FIRST; s <= ASIO_MSG_LAST; s++)
        record->afterRefusal[s] += sentAfterRefusal(s);
}

const char *notificationsFault(const NotificationRecord &record)
{
    if (record.kept < 0 || record.kept > NOTIFICATION_ROOM || record.seen < record.kept)
        return "notifications' counts";
    for (long s = 0; s <= ASIO_MSG_LAST; s++) {
        if (record.afterRefusal[s] < 0)
            return "notifications' refusals";
    }
    for (long k = 0; k < record.kept; k++) {
        const NotedNotification &noted = record.items[k];
        if (noted.n.kind != NOTIFY_MESSAGE && noted.n.kind != NOTIFY_RATE)
            return "a notification's kind";
        if (noted.messageRead < POINTER_NULL || noted.messageRead > POINTER_UNREADABLE ||
            noted.optRead < POINTER_NULL || noted.optRead > POINTER_UNREADABLE ||
            noted.messageLength < 0 || noted.messageLength > MESSAGE_BYTES)
            return "a notification's pointers";
    }
    return nullptr;
}
