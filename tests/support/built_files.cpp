#include "tests/support/testkit.h"

#include <objbase.h>
#include <stdio.h>

std::string buildFilePath(const char *file)
{
    // A Linux build tree is reached through Wine's Z: drive; a Windows one is used as it is.
    std::string path = QUORVEL_BUILD_DIR;
    if (path[0] == '/')
        path = "Z:" + path;
    path = path + "/" + file;
    for (char &c : path) {
        if (c == '/')
            c = '\\';
    }
    return path;
}

std::string programPath()
{
    return buildFilePath(QUORVEL_PROGRAM);
}

std::string checkerPath()
{
    return buildFilePath(QUORVEL_CHECKER);
}

std::string simDllPath()
{
    return buildFilePath(QUORVEL_SIM_DLL);
}

std::string newClsidText()
{
    GUID guid;
    CoCreateGuid(&guid);
    char text[64];
    snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
             static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
             guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
             guid.Data4[6], guid.Data4[7]);
    return text;
}
