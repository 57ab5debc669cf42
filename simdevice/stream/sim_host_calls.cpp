// The host's buffer-switch callbacks as the switch thread makes them: bufferSwitchTimeInfo for a
// host that said it supports time info (or always, "TimeInfoOnly"), bufferSwitch otherwise; with
// "TwoThreads" every other one from a second thread, which the switch thread waits for, so a
// host sees two thread ids but never two callbacks at once.
#include "stream.h"

namespace {

// "TimeInfoFault" 5 hands bufferSwitchTimeInfo a null record in place of `time`.
void call(const SimBufferSet &set, int index, SimAsioTime *time, bool nullRecord) {
    // Read from the host's record at every call: it is kept by pointer.
    if (time)
        set.callbacks->bufferSwitchTimeInfo(nullRecord ? nullptr : time, index, 1);
    else
        set.callbacks->bufferSwitch(index, 1);
}

DWORD WINAPI secondThread(void *parameter) {
    auto *caller = (SimCaller *)parameter;
    for (;;) {
        WaitForSingleObject(caller->go, INFINITE);
        if (caller->quit)
            break;
        call(*caller->set, caller->index, caller->time, caller->nullRecord);
        SetEvent(caller->done);
    }
    return 0;
}

}  // namespace

// Without the second thread (it could not be made) every call comes from the switch thread.
void simCallerBegin(SimDevice *device, SimCaller *caller) {
    caller->thread = caller->go = caller->done = nullptr;
    caller->quit = 0;
    caller->nullRecord = device->config.timeInfoFault == 5;
    if (!device->config.twoThreads)
        return;
    caller->go = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    caller->done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    DWORD id = 0;
    if (caller->go && caller->done)
        caller->thread = CreateThread(nullptr, 0, secondThread, caller, 0, &id);
    if (caller->thread)
        device->stream.secondThreadId = id;
}

// The switch thread holds the DLL: the second thread's code stays loaded until it has ended.
void simCallerEnd(SimDevice *device, SimCaller *caller) {
    if (caller->thread) {
        caller->quit = 1;
        SetEvent(caller->go);
        WaitForSingleObject(caller->thread, INFINITE);
        CloseHandle(caller->thread);
    }
    device->stream.secondThreadId = 0;
    if (caller->go)
        CloseHandle(caller->go);
    if (caller->done)
        CloseHandle(caller->done);
    caller->thread = caller->go = caller->done = nullptr;
}

void simCallHost(SimDevice *device, const SimBufferSet &set, SimClock *clock, SimCaller *caller,
                 int index, LONG number) {
    SimShared *shared = device->shared;
    bool timeInfo = (device->stream.hostTimeInfo || device->config.timeInfoOnly) &&
                    set.callbacks->bufferSwitchTimeInfo;  // never a call through null
    SimAsioTime *time = nullptr;
    if (timeInfo) {
        simFillTimeInfo(device, clock, &caller->timeInfo);
        time = &caller->timeInfo;
    }
    if (caller->thread && number % 2 == 0) {
        caller->set = &set;
        caller->index = index;
        caller->time = time;
        SetEvent(caller->go);
        WaitForSingleObject(caller->done, INFINITE);
    } else {
        call(set, index, time, caller->nullRecord);
    }
    InterlockedIncrement(timeInfo ? &shared->timeInfoCalls : &shared->bufferSwitchCalls);
    InterlockedIncrement(&shared->hostSwitches);
}

