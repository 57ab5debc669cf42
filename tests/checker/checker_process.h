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
