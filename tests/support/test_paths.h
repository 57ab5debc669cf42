// Where the built programs are, as Windows paths under Wine (the Linux build tree is on Z:).
#pragma once

#include <string>

// Z:\...\build\<arch>\<file>
std::string buildFilePath(const char *file);
std::string programPath();     // quorvel64.exe or quorvel.exe
std::string simDllPath();      // simasio64.dll or simasio.dll
// A new CLSID in braces, upper case, for a test's own device or class.
std::string newClsidText();
