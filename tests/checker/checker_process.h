// The real checker program run as a process, its two output streams and its exit code.
#pragma once

#include <windows.h>
#include <functional>
#include <string>

struct CheckerRun {
    int exitCode;  // -1 when it did not end in time (it is then terminated)
    std::string out;  // line ends as "\n"
    std::string err;
};

// Runs quorvelcheck64.exe or quorvelcheck.exe of this build with `arguments`.
CheckerRun runChecker(const std::string &arguments);
// The same, interrupted as Ctrl+C interrupts it once `ready()` is true (asked every 20 ms): the
// checker's event "Local\quorvelcheck-interrupt-<its process id>" is set, which a console control
// event cannot be under every system.
CheckerRun runCheckerInterrupted(const std::string &arguments, const std::function<bool()> &ready);
// Sets that event of checker process `processId`; false when it has none yet.
bool interruptChecker(DWORD processId);

// The same with --json added: the document parsed (the test fails when it is not one), the exit
// code in *code and stderr in *err.
struct JsonValue;
JsonValue runCheckerJson(const std::string &arguments, int *code, std::string *err);
