// Registrations only the start-up benchmark makes, on the shared ones of tests/support/testkit.h,
// in the registry view of its own bitness (the view the program of the same bitness reads).
//
// Its class keys carry a fixed mark in the last group of their GUID, so that a later run finds
// and removes what an aborted one left. The rest of the GUID is random, and keys enumerate in name
// order, so a driver's place among the class keys is random, as on a real machine.
#pragma once

#include <string>
#include <vector>

#define FILLER_MARK "0BE4C4F111E5"  // keys that are only there to be many
#define DRIVER_MARK "0BE4C4D71BE5"  // class keys of the benchmark's drivers

// "{XXXXXXXX-XXXX-XXXX-XXXX-<mark>}" with the rest random.
std::string markedClsid(const char *mark);

// HKLM\SOFTWARE\ASIO\<name> with "CLSID" and "Description" <name>, and the class key with its
// InprocServer32 default value. 0 or a Windows error code.
long addDriver(const char *name, const std::string &clsid, const std::string &serverPath);
// Adds count class keys marked FILLER_MARK, each with an InprocServer32 key and value as real ones
// have. Returns how many were made.
long addFillerKeys(long count);
// Removes every class key with that mark. Returns how many.
long removeMarkedClasses(const char *mark);
// Keys under HKEY_CLASSES_ROOT\clsid, and under HKLM\Software\Classes\CLSID: the same view when
// both agree.
long countClassesRootKeys();
long countMachineClassKeys();
// Keys the lookup by enumeration reads: for each class, its place in the enumeration of
// HKEY_CLASSES_ROOT\clsid plus one, since it reads up to and including the match.
long long keysReadByScan(const std::vector<std::string> &clsids);
