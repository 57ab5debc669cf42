// What this system does with a fault: the exception code a write through a bad pointer gets, and
// whether guard pages are delivered. Native Windows and Wine say access violation and deliver them;
// Wine's 32-bit side under qemu's user-mode emulation says illegal instruction and does not.
#include "tests/support/testkit.h"

#include <stdint.h>

namespace {

DWORD probeThread = 0;
DWORD probedCode = 0;
unsigned char *probedPage = nullptr;

// The probe thread's fault ends the probe thread, nothing else: its code is kept.
LONG CALLBACK endProbeThread(EXCEPTION_POINTERS *exception)
{
    if (GetCurrentThreadId() != probeThread)
        return EXCEPTION_CONTINUE_SEARCH;
    probedCode = exception->ExceptionRecord->ExceptionCode;
    if (probedPage) {
        DWORD old;
        VirtualProtect(probedPage, 1, PAGE_READWRITE, &old);
    }
    ExitThread(0);
    return EXCEPTION_CONTINUE_EXECUTION;
}

DWORD WINAPI writeThroughBadPointer(void *)
{
    // Volatile both ways: the compiler may neither drop the write nor know where it goes.
    volatile int *volatile address = (volatile int *)(uintptr_t)0x10;
    *address = 1;
    return 0;
}

DWORD WINAPI touchGuardedPage(void *)
{
    *(volatile unsigned char *)probedPage = 1;
    return 0;
}

// Runs `body` on a thread of its own under the probe's handler; the code its fault got, or 0.
DWORD probe(LPTHREAD_START_ROUTINE body)
{
    probedCode = 0;
    void *handler = AddVectoredExceptionHandler(1, endProbeThread);
    HANDLE thread = CreateThread(nullptr, 0, body, nullptr, CREATE_SUSPENDED, &probeThread);
    ResumeThread(thread);
    WaitForSingleObject(thread, 10000);
    CloseHandle(thread);
    RemoveVectoredExceptionHandler(handler);
    probeThread = 0;
    return probedCode;
}

}  // namespace

unsigned long badWriteExceptionCode()
{
    static DWORD code = probe(writeThroughBadPointer);
    return code;
}

bool guardPagesDelivered()
{
    static bool delivered = [] {
        SYSTEM_INFO system;
        GetSystemInfo(&system);
        probedPage = static_cast<unsigned char *>(
            VirtualAlloc(nullptr, system.dwPageSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        DWORD old;
        VirtualProtect(probedPage, system.dwPageSize, PAGE_READWRITE | PAGE_GUARD, &old);
        DWORD code = probe(touchGuardedPage);
        VirtualFree(probedPage, 0, MEM_RELEASE);
        probedPage = nullptr;
        return code == STATUS_GUARD_PAGE_VIOLATION;
    }();
    return delivered;
}
