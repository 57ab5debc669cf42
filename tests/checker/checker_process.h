// The real checker program run as a process, its two output streams and its exit code; and the
// small JSON reader the tests read its documents with (and, for its XML, the reader of the test
// support).
#pragma once

#include "tests/support/xml_reader.h"

#include <map>
#include <string>
#include <vector>

struct CheckerRun {
    int exitCode;  // -1 when it did not end in time (it is then terminated)
    std::string out;  // line ends as "\n"
    std::string err;
};

// Runs quorvelcheck64.exe or quorvelcheck.exe of this build with `arguments`.
CheckerRun runChecker(const std::string &arguments);

// A parsed JSON value. Asking an object for a missing key, or an array past its end, gives a null.
struct JsonValue {
    enum Kind { NUL, BOOL, NUMBER, TEXT, ARRAY, OBJECT } kind = NUL;
    bool flag = false;
    double number = 0;
    std::string text;
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> members;

    const JsonValue &operator[](const char *key) const;
    const JsonValue &operator[](size_t index) const;
    const JsonValue &operator[](int index) const { return (*this)[static_cast<size_t>(index)]; }
    size_t size() const { return kind == ARRAY ? items.size() : members.size(); }
    bool isNull() const { return kind == NUL; }
    long long whole() const { return static_cast<long long>(number); }
};

// False when `text` is not exactly one JSON document (surrounding white space allowed).
bool parseJson(const std::string &text, JsonValue *value);
