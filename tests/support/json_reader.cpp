#include "tests/support/json_reader.h"

#include <stdlib.h>
#include <string.h>

const JsonValue &JsonValue::operator[](const char *key) const
{
    static const JsonValue none;
    auto found = members.find(key);
    return found == members.end() ? none : found->second;
}

const JsonValue &JsonValue::operator[](size_t index) const
{
    static const JsonValue none;
    return index < items.size() ? items[index] : none;
}

namespace {

struct Reader {
    const std::string &text;
    size_t at;

    void skipSpace()
    {
        while (at < text.size() && strchr(" \t\r\n", text[at]))
            at++;
    }
    bool take(char c)
    {
        skipSpace();
        if (at < text.size() && text[at] == c) {
            at++;
            return true;
        }
        return false;
    }
    bool word(const char *w)
    {
        size_t n = strlen(w);
        if (text.compare(at, n, w) != 0)
            return false;
        at += n;
        return true;
    }
    // Escapes as the checker writes them; \u only below 0x80.
    bool string(std::string *out)
    {
        if (!take('"'))
            return false;
        while (at < text.size() && text[at] != '"') {
            char c = text[at++];
            if (c != '\\') {
                out->push_back(c);
                continue;
            }
            if (at >= text.size())
                return false;
            char e = text[at++];
            if (e == 'n') out->push_back('\n');
            else if (e == 'r') out->push_back('\r');
            else if (e == 't') out->push_back('\t');
            else if (e == 'u' && at + 4 <= text.size()) {
                out->push_back(static_cast<char>(strtol(text.substr(at, 4).c_str(), nullptr, 16)));
                at += 4;
            } else out->push_back(e);
        }
        return take('"');
    }
    bool value(JsonValue *v)
    {
        skipSpace();
        if (at >= text.size())
            return false;
        char c = text[at];
        if (c == '{') {
            at++;
            v->kind = JsonValue::OBJECT;
            if (take('}'))
                return true;
            do {
                std::string key;
                if (!string(&key) || !take(':') || !value(&v->members[key]))
                    return false;
            } while (take(','));
            return take('}');
        }
        if (c == '[') {
            at++;
            v->kind = JsonValue::ARRAY;
            if (take(']'))
                return true;
            do {
                v->items.emplace_back();
                if (!value(&v->items.back()))
                    return false;
            } while (take(','));
            return take(']');
        }
        if (c == '"') {
            v->kind = JsonValue::TEXT;
            return string(&v->text);
        }
        if (word("null"))
            return true;
        if (word("true") || word("false")) {
            v->kind = JsonValue::BOOL;
            v->flag = c == 't';
            return true;
        }
        char *end = nullptr;
        v->number = strtod(text.c_str() + at, &end);
        if (end == text.c_str() + at)
            return false;
        v->kind = JsonValue::NUMBER;
        at = end - text.c_str();
        return true;
    }
};

}  // namespace

bool parseJson(const std::string &text, JsonValue *value)
{
    Reader reader = {text, 0};
    *value = JsonValue();
    if (!reader.value(value))
        return false;
    reader.skipSpace();
    return reader.at == text.size();
}
