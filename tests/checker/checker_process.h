// The real checker program run as a process, its two output streams and its exit code.
#pragma once

#include <string>

struct CheckerRun {
    int exitCode;  // -1 when it did not end in time (it is then terminated)
    std::string out;  // line ends as "\n"
    std::string err;
};

// Runs quorvelcheck64.exe or quorvelcheck.exe of this build with `arguments`.
CheckerRun runChecker(const std::string &arguments);

// The same with --json added: the document parsed (the test fails when it is not one), the exit
// code in *code and stderr in *err.
struct JsonValue;
JsonValue runCheckerJson(const std::string &arguments, int *code, std::string *err);
