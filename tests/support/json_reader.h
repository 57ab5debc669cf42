// A small reader of the JSON documents the checker prints, for the tests to look into them.
#pragma once

#include <map>
#include <string>
#include <vector>

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
