// The device's knobs: every value of "Simulation" it reads, in one table. Reading, writing, the
// defaults and the documentation's list of knobs (docs/development.md, written by
// scripts/check-list.sh and compared by sim_device_test) all come from it: a knob is its field in
// SimConfig and its row here. A range says what the device does with the value; it is not
// enforced on reading: hostile figures are part of what the device can report, and a value past
// a range is held to it, where that is said, by the code that uses it.
#include "sim_device.h"

#include <stddef.h>

// Every row: name, field, default (as the registry holds it: a number in decimal), range, what it
// does.
#define NUMBER_KNOB(name, member, byDefault, range, what) \
    {name, offsetof(SimConfig, member), 0, byDefault, range, what}
#define TEXT_KNOB(name, member, byDefault, range, what) \
    {name, offsetof(SimConfig, member), sizeof(SimConfig::member), byDefault, range, what}

const SimKnob simKnobs[] = {
    NUMBER_KNOB("Inputs", inputs, "2", "any: hostile figures are reported as they are", "input channels getChannels reports"),
    NUMBER_KNOB("Outputs", outputs, "2", "any", "output channels getChannels reports"),
    NUMBER_KNOB("MinSize", minSize, "64", "any", "getBufferSize's minimum"),
    NUMBER_KNOB("MaxSize", maxSize, "2048", "any", "getBufferSize's maximum"),
    NUMBER_KNOB("PreferredSize", preferredSize, "256", "any", "getBufferSize's preferred size"),
    NUMBER_KNOB("Granularity", granularity, "-1", "any", "getBufferSize's granularity (-1: powers of two)"),
    TEXT_KNOB("SampleRate", sampleRate, "48000", "text", "the rate, text parsed with strtod (\"48000\", \"nan\", \"inf\", \"1e300\")"),
    TEXT_KNOB("SampleRates", sampleRates, "", "text", "rates canSampleRate/setSampleRate accept (\"44100,48000,96000\"); empty = only \"SampleRate\""),
    // 18: SIM_ST_INT32_LSB, 32-bit integers, little-endian.
    NUMBER_KNOB("SampleType", sampleType, "18", "a type code; others have no size (4 bytes allocated, not judged)", "the sample type code of every channel \"InputTypes\" and \"OutputTypes\" do not list"),
    TEXT_KNOB("InputTypes", inputTypes, "", "text", "type codes of the inputs in channel order, the last one repeating for the rest; empty = \"SampleType\" for all"),
    TEXT_KNOB("OutputTypes", outputTypes, "", "text", "the same as \"InputTypes\" for the outputs"),
    TEXT_KNOB("InputNames", inputNames, "", "text", "channel names (each cut to 31 characters); a channel without one is \"Sim In N\""),
    TEXT_KNOB("OutputNames", outputNames, "", "text", "the same as \"InputNames\" for the outputs (\"Sim Out N\")"),
    TEXT_KNOB("DriverName", driverName, "Quorvel Sim", "text", "what getDriverName answers; it writes at most 32 bytes"),
    NUMBER_KNOB("DriverVersion", driverVersion, "1", "any", "what getDriverVersion answers"),
    TEXT_KNOB("InitError", initError, "", "text", "when not empty, init returns 0 and reports this text"),
    NUMBER_KNOB("PeriodUs", periodUs, "0", "0, else 50..1000000 (held there)", "the period in microseconds; 0 = real time from buffer size and rate"),
    NUMBER_KNOB("CreateBuffersFails", createBuffersFails, "0", "0, 1", "createBuffers returns an error"),
    NUMBER_KNOB("NullBuffers", nullBuffers, "0", "0, 1", "createBuffers succeeds but leaves every address null"),
    NUMBER_KNOB("StartFails", startFails, "0", "0, 1", "start returns an error"),
    NUMBER_KNOB("NameUnterminated", nameUnterminated, "0", "0, 1", "getDriverName fills 32 bytes with no NUL"),
    NUMBER_KNOB("PanelShowsWindow", panelShowsWindow, "0", "0..2", "0 = apply \"Panel\" silently; 1 = a modal window owned by init's sysHandle; 2 = a top-level window with no owner and the device's own message loop, closed after \"WindowMs\", then \"Panel\" applied silently"),
    NUMBER_KNOB("PanelDelayMs", panelDelayMs, "0", "0 or more", "controlPanel blocks this long before anything else"),
    NUMBER_KNOB("InitMessageBox", initMessageBox, "0", "0, 1", "1 = init first shows a message box with no owner, closed after \"WindowMs\""),
    NUMBER_KNOB("StopWaits", stopWaits, "0", "0, 1", "1 = stop ends the switch thread, then runs a message loop for \"WindowMs\" before it returns"),
    NUMBER_KNOB("WindowMs", windowMs, "1000", "0 or more (negative: 0)", "how long those windows and loops stay up"),
    NUMBER_KNOB("AsioMessages", asioMessages, "1", "0, 1", "1 = createBuffers asks the host's asioMessage the usual questions (see SimShared) before it returns"),
    NUMBER_KNOB("RequestSelector", requestSelector, "0", "0, or a selector", "0 = none; else asioMessage(selector, 0, 0, 0) once per run, from the switch thread (3 reset, 5 resync, 6 latencies changed, 15 overload...)"),
    NUMBER_KNOB("RequestAtSwitch", requestAtSwitch, "0", "1 or more", "the \"RequestSelector\" request comes right after this buffer switch (from 1)"),
    NUMBER_KNOB("InputDelay", inputDelay, "0", "0 or more (negative: 0)", "frames the input converters add (negative = 0)"),
    NUMBER_KNOB("OutputDelay", outputDelay, "0", "0 or more (negative: 0)", "frames the output converters add (negative = 0)"),
    NUMBER_KNOB("LatencyLie", latencyLie, "0", "any", "added to the output latency reported; may be negative"),
    NUMBER_KNOB("CableOut", cableOut, "-1", "-1, or an output", "output channel whose samples come back on \"CableIn\""),
    NUMBER_KNOB("CableIn", cableIn, "-1", "-1, or an input", "the input \"CableOut\" comes back on; -1 (both) = no cable"),
    TEXT_KNOB("CableMap", cableMap, "", "text", "more routes, \"output:input,...\" (\"0:1,1:0,2:2,2:3\": a swap, and output 2 on two inputs), or \"same\" (every channel to its own number); each route its own cable on the same clock"),
    TEXT_KNOB("CableDelays", cableDelays, "", "text", "\"input:frames,...\", frames the route to that input adds to InputDelay + OutputDelay (skew)"),
    NUMBER_KNOB("SignalFaultRoute", signalFaultRoute, "-1", "-1, or an input", "the input of the route \"SignalFault\" acts on (-1: the first route); drop and twice act on every route"),
    NUMBER_KNOB("StallEvery", stallEvery, "0", "0 or more", "0 = never; else every Nth switch comes late by \"StallMs\""),
    NUMBER_KNOB("StallMs", stallMs, "0", "0 or more", "how late a stalled switch comes, in milliseconds"),
    TEXT_KNOB("FaultCall", faultCall, "", "text", "a slot name (\"init\" .. \"outputReady\", as in the driver interface), \"create\" (the factory's CreateInstance) or \"release\" (the Release that drops the last reference); empty: none"),
    NUMBER_KNOB("FaultKind", faultKind, "0", "1..3", "1 an access violation; 2 the call never returns (sleeping); 3 ExitProcess(\"FaultExitCode\")"),
    NUMBER_KNOB("FaultAtCall", faultAtCall, "1", "1 or more", "the fault comes at this call of that slot"),
    NUMBER_KNOB("FaultExitCode", faultExitCode, "77", "any", "the exit code of FaultKind 3"),
    TEXT_KNOB("FailCall", failCall, "", "text", "a slot name or \"create\"; those calls do nothing but answer ASE_HWMalfunction (init and getDriverVersion answer 0, getDriverName and getErrorMessage write nothing, CreateInstance E_FAIL)"),
    NUMBER_KNOB("FailAtCall", failAtCall, "1", "1 or more", "the first call of \"FailCall\" that fails"),
    NUMBER_KNOB("FailCount", failCount, "1", "-1, or 1 or more", "how many calls of \"FailCall\" fail (1; -1: every one from then on)"),
    NUMBER_KNOB("SilentStartAt", silentStartAt, "0", "0, or 1 or more", "this start (from 1) answers ASE_OK but starts no switch thread: no callbacks, the sample position stands still"),
    NUMBER_KNOB("CreateDelayMs", createDelayMs, "0", "0 or more", "CreateInstance sleeps this long first"),
    NUMBER_KNOB("InitDelayMs", initDelayMs, "0", "0 or more", "init sleeps this long first"),
    NUMBER_KNOB("ErrorMessageUnterminated", errorMessageUnterminated, "0", "0, 1", "getErrorMessage fills all 124 bytes with no NUL"),
    NUMBER_KNOB("ReinitFails", reinitFails, "0", "0, 1", "the second object of the class made in this process fails init (\"Quorvel Sim: the device is in use\"); later ones work"),
    NUMBER_KNOB("ChannelInfoFault", channelInfoFault, "0", "0..4", "1 the name has no NUL in its 32 bytes; 2 the name is empty; 3 `channel` answers the asked one plus 1; 4 `isInput` answers the opposite of what was asked"),
    NUMBER_KNOB("ChannelInfoPastEnd", channelInfoPastEnd, "0", "0, 1", "1 = a channel past the last answers ASE_OK with a type and a name"),
    NUMBER_KNOB("ClockFault", clockFault, "0", "0..3", "getClockSources gives 1 no source (count 0, ASE_OK); 2 one source, not current; 3 two sources, both current"),
    NUMBER_KNOB("SetRateIgnored", setRateIgnored, "0", "0, 1", "setSampleRate answers ASE_OK for an accepted rate but keeps the rate it had"),
    NUMBER_KNOB("SetRateAcceptsAll", setRateAcceptsAll, "0", "0, 1", "setSampleRate answers ASE_OK for any positive rate and applies it; canSampleRate still refuses it"),
    NUMBER_KNOB("MaxWorkingSize", maxWorkingSize, "0", "0 or more", "createBuffers answers ASE_InvalidMode for sizes above this, whatever getBufferSize claims (0: no limit)"),
    NUMBER_KNOB("SharedBuffer", sharedBuffer, "0", "0..2", "the second element of the host's array gets 1 the same two addresses as the first; 2 halves that start in the middle of the first's (the device judges its own copies)"),
    NUMBER_KNOB("LatencyFault", latencyFault, "0", "0..2", "getLatencies reports 1 half a buffer each way; 2 4096 - frames each way (at least 1): less as buffers grow"),
    NUMBER_KNOB("CallbackInCreateBuffers", callbackInCreateBuffers, "0", "0, 1", "1 = createBuffers calls the host's bufferSwitch(0, 1) once, on the host's thread, before it returns"),
    NUMBER_KNOB("OutputReady", outputReady, "0", "0..2", "outputReady answers 0 ASE_NotPresent; 1 ASE_OK; 2 ASE_OK for the object's first 10 calls, then ASE_HWMalfunction"),
    NUMBER_KNOB("KeepsReference", keepsReference, "0", "0, 1", "the last Release answers 1 and keeps the object (logged as SIM_RELEASE with a = 1)"),
    NUMBER_KNOB("ClockPpm", clockPpm, "0", "any", "signed; positive runs fast (period / (1 + ppm/1e6))"),
    NUMBER_KNOB("TimeInfoOnly", timeInfoOnly, "0", "0, 1", "1 = bufferSwitchTimeInfo whatever the host answered to \"supports time info\" (otherwise only for a host that said 1)"),
    NUMBER_KNOB("TimeInfoFault", timeInfoFault, "0", "0..5", "1 flags 0; 2 position stays at its first value; 3 rate 1% off; 4 system time stays at its first value; 5 a null record (the call counted in timeInfoCalls all the same)"),
    NUMBER_KNOB("PositionFault", positionFault, "0", "0..4", "getSamplePosition 1 stops advancing after 10 periods; 2 goes back one buffer every 10th period; 3 always ASE_SPNotAdvancing; 4 its time stamp stays at its first value"),
    NUMBER_KNOB("StopCallbacksAfter", stopCallbacksAfter, "0", "0 or more", "no host callbacks after N in a run"),
    NUMBER_KNOB("IndexFault", indexFault, "0", "0 or more", "every Nth callback repeats the previous one's index"),
    NUMBER_KNOB("TwoThreads", twoThreads, "0", "0, 1", "1 = every other callback from a second thread"),
    NUMBER_KNOB("CallbacksBeforeStart", callbacksBeforeStart, "0", "0, 1", "1 = the clock runs from createBuffers"),
    NUMBER_KNOB("LateCallbackMs", lateCallbackMs, "0", "0 or more", "stop and disposeBuffers return at once; one last callback comes this long after stop returned"),
    NUMBER_KNOB("RequestLatencyShift", requestLatencyShift, "0", "any", "output latency reported N frames higher once the \"RequestSelector\" request was sent"),
    TEXT_KNOB("SignalFault", signalFault, "", "text", "one fault of the cable path or of the callbacks: drop, twice, shift, swap, invert, bits, noise, gain; empty = none"),
    NUMBER_KNOB("SignalFaultAt", signalFaultAt, "0", "0 or more", "its period, from 1; 0 = from the start (lasting ones). The cable's act on what is played from then on (the host's first samples play in period 2), \"swap\" on what is captured"),
    NUMBER_KNOB("SignalFaultBits", signalFaultBits, "0", "1..32", "\"bits\" keeps the top N bits of each sample"),
    TEXT_KNOB("SignalFaultLevel", signalFaultLevel, "", "text", "\"noise\" amplitude (fraction of full scale) or \"gain\" factor, text parsed with strtod"),
    NUMBER_KNOB("SetRateBackIgnored", setRateBackIgnored, "0", "0, 1", "once another rate was set, setting the configured \"SampleRate\" again answers ASE_OK and changes nothing"),
    NUMBER_KNOB("RestartSilent", restartSilent, "0", "0, 1", "a start after a stop on the same buffers answers ASE_OK and makes no switch"),
    NUMBER_KNOB("RecreateFails", recreateFails, "0", "0, 1", "createBuffers right after disposeBuffers, at the size just disposed, answers ASE_NoMemory"),
    NUMBER_KNOB("SilentAfterRecreates", silentAfterRecreates, "0", "0 or more", "once buffers were made this many times after a disposeBuffers, starts answer ASE_OK and make no switch (0: never)"),
    NUMBER_KNOB("RateChangeSilent", rateChangeSilent, "0", "0, 1", "once an object's rate was changed, its starts answer ASE_OK and make no switch"),
    NUMBER_KNOB("LatencyLieAtSize", latencyLieAtSize, "0", "0 or more", "\"LatencyLie\" only at this buffer size (0: all)"),
    TEXT_KNOB("ChannelsAtRates", channelsAtRates, "", "text", "\"rate:inputs:outputs,...\" (\"96000:2:2\"): the channels there are while that rate is current, as optical ports have fewer at higher rates; \"Inputs\" and \"Outputs\" at any other rate"),
    NUMBER_KNOB("ThreadFault", threadFault, "0", "0, 1, 3", "the switch thread, right before host callback \"ThreadFaultAt\" of a run: 1 an access violation; 3 ExitProcess(\"FaultExitCode\"); 0 none"),
    NUMBER_KNOB("ThreadFaultAt", threadFaultAt, "0", "1 or more", "that callback's number, from 1"),
    NUMBER_KNOB("PrintLines", printLines, "0", "0, 1", "1 = init writes a line on the process's standard output and one on its standard error, and the switch thread does the same before its first callback of a run"),
    NUMBER_KNOB("ScribbleAt", scribbleAt, "0", "any (0: never)", "getChannelInfo of output 1 writes \"ScribbleValue\" as a 32-bit number this many bytes from the start of the host's record (negative: before it); 0 = never"),
    NUMBER_KNOB("ScribbleValue", scribbleValue, "0", "any", "what \"ScribbleAt\" writes"),
    NUMBER_KNOB("SubclassReference", subclassReference, "0", "0, 1", "1 = init subclasses the window it was given, and that window's WM_DESTROY never returns (the window outlives the object, as the host destroys it after the last Release)"),
    NUMBER_KNOB("SecondClient", secondClient, "0", "0..5", "0 the second is served, on a clock of its own; 1 its init fails (\"Quorvel Sim: the device is in use by another program\"); 2 its createBuffers answers ASE_InvalidMode; 3 its start takes the stream: the first host gets no callback until the second stops; 4 its last Release stops the first host's stream for the rest of that run; 5 from its start to its stop the first host's cabled inputs are silent, its callbacks going on"),
    TEXT_KNOB("SecondFaultCall", secondFaultCall, "", "text", "a slot name or \"release\": the second client's calls of it get \"SecondFaultKind\" (FaultKind's numbers, and 4: while the call runs, the first host gets no callback for \"SecondStallMs\", its clock going on: those switches are lost)"),
    NUMBER_KNOB("SecondFaultKind", secondFaultKind, "0", "1..4", "what a second client's calls of \"SecondFaultCall\" get: FaultKind's numbers, and 4: while the call runs, the first host gets no callback for \"SecondStallMs\", its clock going on (those switches are lost)"),
    NUMBER_KNOB("SecondStallMs", secondStallMs, "300", "0 or more", "the stall of \"SecondFaultKind\" 4"),
    NUMBER_KNOB("SpinPercent", spinPercent, "0", "0..100 (more: 100)", "after each period's callbacks the switch thread spins, never sleeping or yielding, for this share (0..100) of a period, no further than the next period's start, before it waits: a driver whose own thread busy-waits (0: never; 100: it never sleeps and takes a whole core)"),
};

#undef NUMBER_KNOB
#undef TEXT_KNOB

const int simKnobCount = (int)(sizeof simKnobs / sizeof simKnobs[0]);
