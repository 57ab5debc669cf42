// The JSON reader compare reads its files with. The text may be anything: nesting is bounded (the
// parser recurses), numbers are checked against JSON's grammar before strtod sees them, a text
// that is no valid UTF-8 is refused, and its control characters (but tab and newline) become '?',
// so that what is shown and written again can neither break a table nor drive a terminal.
#include "checker/compare/compare.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

struct Reader {
    const char *text;
    size_t length, at;
    std::string *error;
    size_t values;
};

bool broken(Reader *r, const char *what)
{
    size_t line = 1, column = 1;
    for (size_t i = 0; i < r->at && i < r->length; i++) {
        if (r->text[i] == '\n') {
            line++;
            column = 1;
        } else {
            column++;
        }
    }
    char where[160];
    snprintf(where, sizeof where, "line %zu, column %zu: %s", line, column, what);
    *r->error = where;
    return false;
}

void skipSpace(Reader *r)
{
    while (r->at < r->length && (r->text[r->at] == ' ' || r->text[r->at] == '\t' ||
                                 r->text[r->at] == '\n' || r->text[r->at] == '\r'))
        r->at++;
}

bool takeWord(Reader *r, const char *word)
{
    size_t n = strlen(word);
    if (r->length - r->at < n || memcmp(r->text + r->at, word, n) != 0)
        return false;
    r->at += n;
    return true;
}

void appendUtf8(std::string *out, unsigned long code)
{
    if (code < 0x80) {
        *out += static_cast<char>(code);
    } else if (code < 0x800) {
        *out += static_cast<char>(0xC0 | (code >> 6));
        *out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        *out += static_cast<char>(0xE0 | (code >> 12));
        *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | (code >> 18));
        *out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

bool hexDigits(Reader *r, unsigned long *code)
{
    if (r->length - r->at < 4)
        return false;
    *code = 0;
    for (int k = 0; k < 4; k++) {
        char c = r->text[r->at + k];
        int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                  : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (digit < 0)
            return false;
        *code = *code * 16 + static_cast<unsigned long>(digit);
    }
    r->at += 4;
    return true;
}

// The length of the UTF-8 sequence at `c` (at most `left` bytes), 0 when it is none: overlong
// forms, surrogates and code points past U+10FFFF are none, for they can hide what they mean.
size_t sequenceLength(const unsigned char *c, size_t left)
{
    size_t more = *c >= 0xF0 && *c <= 0xF4 ? 3 : *c >= 0xE0 ? 2 : *c >= 0xC2 && *c < 0xE0 ? 1 : 0;
    if (*c >= 0xF5 || more == 0 || more >= left)
        return 0;
    for (size_t k = 1; k <= more; k++) {
        if ((c[k] & 0xC0) != 0x80)
            return 0;
    }
    if ((c[0] == 0xE0 && c[1] < 0xA0) || (c[0] == 0xED && c[1] >= 0xA0) || (c[0] == 0xF0 && c[1] < 0x90) ||
        (c[0] == 0xF4 && c[1] >= 0x90))
        return 0;
    return more + 1;
}

// A control character (C0 but tab and newline, DEL, C1) would drive a terminal or break a table:
// shown as '?'.
bool unprintable(unsigned long code)
{
    return (code < 0x20 && code != '\t' && code != '\n') || (code >= 0x7F && code < 0xA0);
}

bool readEscape(Reader *r, std::string *out)
{
    char c = r->text[r->at++];
    switch (c) {
    case '"': *out += '"'; return true;
    case '\\': *out += '\\'; return true;
    case '/': *out += '/'; return true;
    case 'b': *out += '?'; return true;
    case 'f': *out += '?'; return true;
    case 'n': *out += '\n'; return true;
    case 'r': *out += '?'; return true;
    case 't': *out += '\t'; return true;
    case 'u': break;
    default: return broken(r, "an unknown escape in a text");
    }
    unsigned long code = 0, low = 0;
    if (!hexDigits(r, &code))
        return broken(r, "\\u without four hex digits");
    if (code >= 0xD800 && code < 0xDC00) {
        // A surrogate pair makes one character; half of one is shown as '?'.
        if (takeWord(r, "\\u") && hexDigits(r, &low) && low >= 0xDC00 && low < 0xE000)
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        else
            code = '?';
    } else if ((code >= 0xDC00 && code < 0xE000) || unprintable(code)) {
        code = '?';
    }
    appendUtf8(out, code);
    return true;
}

bool readText(Reader *r, std::string *out)
{
    r->at++;  // the opening quote
    out->clear();
    while (r->at < r->length) {
        const unsigned char c = static_cast<unsigned char>(r->text[r->at]);
        if (c == '"') {
            r->at++;
            return true;
        }
        if (c < 0x20)
            return broken(r, "a control character inside a text");
        if (c == '\\') {
            r->at++;
            if (r->at >= r->length)
                break;
            if (!readEscape(r, out))
                return false;
            continue;
        }
        if (c < 0x80) {
            *out += c == 0x7F ? '?' : static_cast<char>(c);
            r->at++;
            continue;
        }
        const unsigned char *here = reinterpret_cast<const unsigned char *>(r->text + r->at);
        size_t n = sequenceLength(here, r->length - r->at);
        if (n == 0)
            return broken(r, "a text that is no valid UTF-8");
        if (n == 2 && unprintable((static_cast<unsigned long>(here[0] & 0x1F) << 6) | (here[1] & 0x3F))) {
            *out += '?';
            r->at += n;
        } else {
            out->append(r->text + r->at, n);
            r->at += n;
        }
    }
    return broken(r, "a text that does not end");
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// JSON's grammar of a number, checked before strtod reads it (strtod would take "inf", hex, ...).
bool readNumber(Reader *r, double *value)
{
    size_t start = r->at, at = r->at;
    const char *t = r->text;
    if (at < r->length && t[at] == '-')
        at++;
    if (at >= r->length || !isDigit(t[at]))
        return broken(r, "a value was expected");
    if (t[at] == '0')
        at++;
    else
        while (at < r->length && isDigit(t[at])) at++;
    if (at < r->length && t[at] == '.') {
        at++;
        if (at >= r->length || !isDigit(t[at]))
            return broken(r, "a digit was expected after the decimal point");
        while (at < r->length && isDigit(t[at])) at++;
    }
    if (at < r->length && (t[at] == 'e' || t[at] == 'E')) {
        at++;
        if (at < r->length && (t[at] == '+' || t[at] == '-'))
            at++;
        if (at >= r->length || !isDigit(t[at]))
            return broken(r, "a digit was expected in the exponent");
        while (at < r->length && isDigit(t[at])) at++;
    }
    if (at - start > 64)
        return broken(r, "a number too long to be a figure");
    char copy[72];
    memcpy(copy, t + start, at - start);
    copy[at - start] = '\0';
    *value = strtod(copy, nullptr);
    r->at = at;
    return true;
}

bool readValue(Reader *r, JsonNode *node, int depth);

bool readMembers(Reader *r, JsonNode *node, int depth, bool object)
{
    char close = object ? '}' : ']';
    r->at++;
    skipSpace(r);
    if (r->at < r->length && r->text[r->at] == close) {
        r->at++;
        return true;
    }
    for (;;) {
        JsonNode item = {};
        skipSpace(r);
        if (object) {
            if (r->at >= r->length || r->text[r->at] != '"')
                return broken(r, "a key in quotes was expected");
            if (!readText(r, &item.name))
                return false;
            skipSpace(r);
            if (r->at >= r->length || r->text[r->at] != ':')
                return broken(r, "':' was expected after a key");
            r->at++;
        }
        if (!readValue(r, &item, depth + 1))
            return false;
        node->items.push_back(std::move(item));
        skipSpace(r);
        if (r->at < r->length && r->text[r->at] == ',') {
            r->at++;
            continue;
        }
        if (r->at < r->length && r->text[r->at] == close) {
            r->at++;
            return true;
        }
        return broken(r, object ? "',' or '}' was expected" : "',' or ']' was expected");
    }
}

bool readValue(Reader *r, JsonNode *node, int depth)
{
    if (depth > MAX_COMPARE_DEPTH)
        return broken(r, "nested deeper than any document of the checker");
    if (++r->values > MAX_COMPARE_VALUES)
        return broken(r, "more values than any document of the checker holds");
    skipSpace(r);
    if (r->at >= r->length)
        return broken(r, "the text ends where a value was expected");
    node->kind = JSON_NULL;
    switch (r->text[r->at]) {
    case '{':
        node->kind = JSON_OBJECT;
        return readMembers(r, node, depth, true);
    case '[':
        node->kind = JSON_ARRAY;
        return readMembers(r, node, depth, false);
    case '"':
        node->kind = JSON_TEXT;
        return readText(r, &node->text);
    case 't':
    case 'f':
        node->kind = JSON_BOOL;
        node->flag = r->text[r->at] == 't';
        return takeWord(r, node->flag ? "true" : "false") || broken(r, "a value was expected");
    case 'n':
        return takeWord(r, "null") || broken(r, "a value was expected");
    default:
        node->kind = JSON_NUMBER;
        return readNumber(r, &node->number);
    }
}

}  // namespace

bool parseJsonDocument(const char *text, size_t length, JsonNode *root, std::string *error)
{
    Reader r = {text, length, 0, error, 0};
    *root = JsonNode();
    if (!readValue(&r, root, 0))
        return false;
    skipSpace(&r);
    if (r.at != r.length)
        return broken(&r, "more text after the document");
    return true;
}

bool readJsonFile(const char *path, JsonNode *root, std::string *error)
{
    FILE *file = fopen(path, "rb");
    if (!file) {
        *error = "cannot be opened";
        return false;
    }
    std::string text;
    char block[65536];
    size_t got = 0;
    bool tooLarge = false;
    while ((got = fread(block, 1, sizeof block, file)) > 0) {
        if (text.size() + got > MAX_COMPARE_FILE_BYTES) {
            tooLarge = true;
            break;
        }
        text.append(block, got);
    }
    bool readError = ferror(file) != 0;
    fclose(file);
    if (tooLarge) {
        char why[96];
        snprintf(why, sizeof why, "is larger than %d MB, more than any document of the checker",
                 MAX_COMPARE_FILE_BYTES >> 20);
        *error = why;
        return false;
    }
    if (readError) {
        *error = "cannot be read";
        return false;
    }
    // A byte order mark, as some editors save, is no part of the document.
    size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    return parseJsonDocument(text.data() + start, text.size() - start, root, error);
}

const JsonNode *jsonMember(const JsonNode *node, const char *key)
{
    if (!node || node->kind != JSON_OBJECT)
        return nullptr;
    for (const JsonNode &item : node->items) {
        if (item.name == key)
            return &item;
    }
    return nullptr;
}

const JsonNode *jsonMemberOf(const JsonNode *node, const char *key, JsonKind kind)
{
    const JsonNode *member = jsonMember(node, key);
    return member && member->kind == kind ? member : nullptr;
}
