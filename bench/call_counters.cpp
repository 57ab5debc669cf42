#include "bench/call_counters.h"

#include <windows.h>
#include <stdlib.h>
#include <string.h>

namespace {

enum Counted {
    C_HEAP_ALLOC,
    C_HEAP_REALLOC,
    C_HEAP_FREE,
    C_VIRTUAL_ALLOC,
    C_LOCAL_ALLOC,
    C_GLOBAL_ALLOC,
    C_MALLOC,
    C_CALLOC,
    C_REALLOC,
    C_FREE,
    C_ENTER_CS,
    C_TRY_ENTER_CS,
    C_SRW_EXCLUSIVE,
    C_SRW_SHARED,
    C_WAIT_SINGLE,
    C_WAIT_SINGLE_EX,
    C_WAIT_MULTIPLE,
    C_WAIT_MULTIPLE_EX,
    C_SLEEP,
    C_SLEEP_EX,
    C_SWITCH_TO_THREAD,
    C_SET_EVENT,
    C_GET_PROC_ADDRESS,
    C_COUNT
};

CountedFunction functions[C_COUNT] = {
    {"HeapAlloc", "allocation", false, 0},
    {"HeapReAlloc", "allocation", false, 0},
    {"HeapFree", "allocation", false, 0},
    {"VirtualAlloc", "allocation", false, 0},
    {"LocalAlloc", "allocation", false, 0},
    {"GlobalAlloc", "allocation", false, 0},
    {"malloc", "allocation", false, 0},
    {"calloc", "allocation", false, 0},
    {"realloc", "allocation", false, 0},
    {"free", "allocation", false, 0},
    {"EnterCriticalSection", "lock", false, 0},
    {"TryEnterCriticalSection", "lock", false, 0},
    {"AcquireSRWLockExclusive", "lock", false, 0},
    {"AcquireSRWLockShared", "lock", false, 0},
    {"WaitForSingleObject", "wait", false, 0},
    {"WaitForSingleObjectEx", "wait", false, 0},
    {"WaitForMultipleObjects", "wait", false, 0},
    {"WaitForMultipleObjectsEx", "wait", false, 0},
    {"Sleep", "wait", false, 0},
    {"SleepEx", "wait", false, 0},
    {"SwitchToThread", "wait", false, 0},
    // A system call that wakes another thread, and the way round the table: both count.
    {"SetEvent", "other", false, 0},
    {"GetProcAddress", "other", false, 0},
};

// The address each patched slot held: where the wrapper passes the call on.
void *originals[C_COUNT];
volatile LONG counting = 0;

void note(int which)
{
    if (counting)
        InterlockedIncrement(reinterpret_cast<volatile LONG *>(&functions[which].calls));
}

template <typename F> F original(int which)
{
    return reinterpret_cast<F>(originals[which]);
}

typedef LPVOID(WINAPI *HeapAllocFn)(HANDLE, DWORD, SIZE_T);
typedef LPVOID(WINAPI *HeapReAllocFn)(HANDLE, DWORD, LPVOID, SIZE_T);
typedef BOOL(WINAPI *HeapFreeFn)(HANDLE, DWORD, LPVOID);
typedef LPVOID(WINAPI *VirtualAllocFn)(LPVOID, SIZE_T, DWORD, DWORD);
typedef HLOCAL(WINAPI *LocalAllocFn)(UINT, SIZE_T);
typedef HGLOBAL(WINAPI *GlobalAllocFn)(UINT, SIZE_T);
typedef void *(__cdecl *MallocFn)(size_t);
typedef void *(__cdecl *CallocFn)(size_t, size_t);
typedef void *(__cdecl *ReallocFn)(void *, size_t);
typedef void(__cdecl *FreeFn)(void *);
typedef void(WINAPI *CriticalSectionFn)(LPCRITICAL_SECTION);
typedef BOOL(WINAPI *TryCriticalSectionFn)(LPCRITICAL_SECTION);
typedef void(WINAPI *SrwFn)(PSRWLOCK);
typedef DWORD(WINAPI *WaitSingleFn)(HANDLE, DWORD);
typedef DWORD(WINAPI *WaitSingleExFn)(HANDLE, DWORD, BOOL);
typedef DWORD(WINAPI *WaitMultipleFn)(DWORD, const HANDLE *, BOOL, DWORD);
typedef DWORD(WINAPI *WaitMultipleExFn)(DWORD, const HANDLE *, BOOL, DWORD, BOOL);
typedef void(WINAPI *SleepFn)(DWORD);
typedef DWORD(WINAPI *SleepExFn)(DWORD, BOOL);
typedef BOOL(WINAPI *SwitchFn)();
typedef BOOL(WINAPI *SetEventFn)(HANDLE);
typedef FARPROC(WINAPI *GetProcAddressFn)(HMODULE, LPCSTR);

LPVOID WINAPI countedHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes)
{
    note(C_HEAP_ALLOC);
    return original<HeapAllocFn>(C_HEAP_ALLOC)(heap, flags, bytes);
}
LPVOID WINAPI countedHeapReAlloc(HANDLE heap, DWORD flags, LPVOID memory, SIZE_T bytes)
{
    note(C_HEAP_REALLOC);
    return original<HeapReAllocFn>(C_HEAP_REALLOC)(heap, flags, memory, bytes);
}
BOOL WINAPI countedHeapFree(HANDLE heap, DWORD flags, LPVOID memory)
{
    note(C_HEAP_FREE);
    return original<HeapFreeFn>(C_HEAP_FREE)(heap, flags, memory);
}
LPVOID WINAPI countedVirtualAlloc(LPVOID address, SIZE_T bytes, DWORD type, DWORD protect)
{
    note(C_VIRTUAL_ALLOC);
    return original<VirtualAllocFn>(C_VIRTUAL_ALLOC)(address, bytes, type, protect);
}
HLOCAL WINAPI countedLocalAlloc(UINT flags, SIZE_T bytes)
{
    note(C_LOCAL_ALLOC);
    return original<LocalAllocFn>(C_LOCAL_ALLOC)(flags, bytes);
}
HGLOBAL WINAPI countedGlobalAlloc(UINT flags, SIZE_T bytes)
{
    note(C_GLOBAL_ALLOC);
    return original<GlobalAllocFn>(C_GLOBAL_ALLOC)(flags, bytes);
}
void *__cdecl countedMalloc(size_t bytes)
{
    note(C_MALLOC);
    return original<MallocFn>(C_MALLOC)(bytes);
}
void *__cdecl countedCalloc(size_t count, size_t bytes)
{
    note(C_CALLOC);
    return original<CallocFn>(C_CALLOC)(count, bytes);
}
void *__cdecl countedRealloc(void *memory, size_t bytes)
{
    note(C_REALLOC);
    return original<ReallocFn>(C_REALLOC)(memory, bytes);
}
void __cdecl countedFree(void *memory)
{
    note(C_FREE);
    original<FreeFn>(C_FREE)(memory);
}
void WINAPI countedEnterCriticalSection(LPCRITICAL_SECTION section)
{
    note(C_ENTER_CS);
    original<CriticalSectionFn>(C_ENTER_CS)(section);
}
BOOL WINAPI countedTryEnterCriticalSection(LPCRITICAL_SECTION section)
{
    note(C_TRY_ENTER_CS);
    return original<TryCriticalSectionFn>(C_TRY_ENTER_CS)(section);
}
void WINAPI countedAcquireSRWLockExclusive(PSRWLOCK lock)
{
    note(C_SRW_EXCLUSIVE);
    original<SrwFn>(C_SRW_EXCLUSIVE)(lock);
}
void WINAPI countedAcquireSRWLockShared(PSRWLOCK lock)
{
    note(C_SRW_SHARED);
    original<SrwFn>(C_SRW_SHARED)(lock);
}
DWORD WINAPI countedWaitForSingleObject(HANDLE handle, DWORD ms)
{
    note(C_WAIT_SINGLE);
    return original<WaitSingleFn>(C_WAIT_SINGLE)(handle, ms);
}
DWORD WINAPI countedWaitForSingleObjectEx(HANDLE handle, DWORD ms, BOOL alertable)
{
    note(C_WAIT_SINGLE_EX);
    return original<WaitSingleExFn>(C_WAIT_SINGLE_EX)(handle, ms, alertable);
}
DWORD WINAPI countedWaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL all, DWORD ms)
{
    note(C_WAIT_MULTIPLE);
    return original<WaitMultipleFn>(C_WAIT_MULTIPLE)(count, handles, all, ms);
}
DWORD WINAPI countedWaitForMultipleObjectsEx(DWORD count, const HANDLE *handles, BOOL all, DWORD ms,
                                             BOOL alertable)
{
    note(C_WAIT_MULTIPLE_EX);
    return original<WaitMultipleExFn>(C_WAIT_MULTIPLE_EX)(count, handles, all, ms, alertable);
}
void WINAPI countedSleep(DWORD ms)
{
    note(C_SLEEP);
    original<SleepFn>(C_SLEEP)(ms);
}
DWORD WINAPI countedSleepEx(DWORD ms, BOOL alertable)
{
    note(C_SLEEP_EX);
    return original<SleepExFn>(C_SLEEP_EX)(ms, alertable);
}
BOOL WINAPI countedSwitchToThread()
{
    note(C_SWITCH_TO_THREAD);
    return original<SwitchFn>(C_SWITCH_TO_THREAD)();
}
BOOL WINAPI countedSetEvent(HANDLE event)
{
    note(C_SET_EVENT);
    return original<SetEventFn>(C_SET_EVENT)(event);
}
FARPROC WINAPI countedGetProcAddress(HMODULE module, LPCSTR name)
{
    note(C_GET_PROC_ADDRESS);
    return original<GetProcAddressFn>(C_GET_PROC_ADDRESS)(module, name);
}

void *const wrappers[C_COUNT] = {
    reinterpret_cast<void *>(countedHeapAlloc),
    reinterpret_cast<void *>(countedHeapReAlloc),
    reinterpret_cast<void *>(countedHeapFree),
    reinterpret_cast<void *>(countedVirtualAlloc),
    reinterpret_cast<void *>(countedLocalAlloc),
    reinterpret_cast<void *>(countedGlobalAlloc),
    reinterpret_cast<void *>(countedMalloc),
    reinterpret_cast<void *>(countedCalloc),
    reinterpret_cast<void *>(countedRealloc),
    reinterpret_cast<void *>(countedFree),
    reinterpret_cast<void *>(countedEnterCriticalSection),
    reinterpret_cast<void *>(countedTryEnterCriticalSection),
    reinterpret_cast<void *>(countedAcquireSRWLockExclusive),
    reinterpret_cast<void *>(countedAcquireSRWLockShared),
    reinterpret_cast<void *>(countedWaitForSingleObject),
    reinterpret_cast<void *>(countedWaitForSingleObjectEx),
    reinterpret_cast<void *>(countedWaitForMultipleObjects),
    reinterpret_cast<void *>(countedWaitForMultipleObjectsEx),
    reinterpret_cast<void *>(countedSleep),
    reinterpret_cast<void *>(countedSleepEx),
    reinterpret_cast<void *>(countedSwitchToThread),
    reinterpret_cast<void *>(countedSetEvent),
    reinterpret_cast<void *>(countedGetProcAddress),
};

int findCounted(const char *name)
{
    for (int i = 0; i < C_COUNT; i++) {
        if (strcmp(functions[i].name, name) == 0)
            return i;
    }
    return -1;
}

bool patchSlot(void **slot, void *value)
{
    DWORD old = 0;
    if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old))
        return false;
    *slot = value;
    VirtualProtect(slot, sizeof *slot, old, &old);
    FlushInstructionCache(GetCurrentProcess(), slot, sizeof *slot);
    return true;
}

}  // namespace

int installCallCounters()
{
    BYTE *base = reinterpret_cast<BYTE *>(GetModuleHandleA(nullptr));
    const IMAGE_DOS_HEADER *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    const IMAGE_NT_HEADERS *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &directory =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0)
        return -1;

    int patched = 0;
    const IMAGE_IMPORT_DESCRIPTOR *module =
        reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR *>(base + directory.VirtualAddress);
    for (; module->Name; module++) {
        // The name table stays as linked; the slots hold the loaded addresses.
        DWORD namesAt = module->OriginalFirstThunk ? module->OriginalFirstThunk : module->FirstThunk;
        const IMAGE_THUNK_DATA *names = reinterpret_cast<const IMAGE_THUNK_DATA *>(base + namesAt);
        IMAGE_THUNK_DATA *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + module->FirstThunk);
        for (; names->u1.AddressOfData; names++, slots++) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const IMAGE_IMPORT_BY_NAME *byName =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
            int which = findCounted(reinterpret_cast<const char *>(byName->Name));
            if (which < 0)
                continue;
            void **slot = reinterpret_cast<void **>(&slots->u1.Function);
            if (*slot == wrappers[which])
                continue;
            originals[which] = *slot;
            if (!patchSlot(slot, wrappers[which]))
                return -1;
            functions[which].imported = true;
            patched++;
        }
    }
    return patched;
}

void setCounting(bool on)
{
    counting = on ? 1 : 0;
}

void resetCallCounts()
{
    for (CountedFunction &function : functions)
        function.calls = 0;
}

const CountedFunction *countedFunctions(int *count)
{
    *count = C_COUNT;
    return functions;
}

long totalCountedCalls()
{
    long total = 0;
    for (const CountedFunction &function : functions)
        total += function.calls;
    return total;
}
