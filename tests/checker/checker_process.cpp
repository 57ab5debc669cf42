#include "tests/checker/checker_process.h"

#include "tests/support/testkit.h"

#include <windows.h>
#include <stdlib.h>
#include <string.h>
#include <thread>

// Generous: the 32-bit program runs under emulation on some build machines.
static const DWORD RUN_TIMEOUT_MS = 180000;

// Reads to the end; line ends come back as "\n" (the program writes text streams, "\r\n").
static void drain(HANDLE pipe, std::string *into)
{
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0)
        into->append(buffer, got);
    size_t kept = 0;
    for (size_t i = 0; i < into->size(); i++) {
        if (!((*into)[i] == '\r' && i + 1 < into->size() && (*into)[i + 1] == '\n'))
            (*into)[kept++] = (*into)[i];
    }
    into->resize(kept);
}

CheckerRun runChecker(const std::string &arguments)
{
    CheckerRun run = {-1, "", ""};
    std::string path = checkerPath();
    std::string commandLine = "\"" + path + "\" " + arguments;

    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE outRead, outWrite, errRead, errWrite;
    if (!CreatePipe(&outRead, &outWrite, &inherit, 0))
        return run;
    if (!CreatePipe(&errRead, &errWrite, &inherit, 0)) {
        CloseHandle(outRead);
        CloseHandle(outWrite);
        return run;
    }
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessA(path.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                                  nullptr, &startup, &process);
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    if (started) {
        // Both streams at once: a full pipe on either would stall the program.
        std::thread errReader(drain, errRead, &run.err);
        drain(outRead, &run.out);
        if (WaitForSingleObject(process.hProcess, RUN_TIMEOUT_MS) == WAIT_OBJECT_0) {
            DWORD code = 0;
            GetExitCodeProcess(process.hProcess, &code);
            run.exitCode = static_cast<int>(code);
        } else {
            TerminateProcess(process.hProcess, 99);
        }
        errReader.join();
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    CloseHandle(outRead);
    CloseHandle(errRead);
    return run;
}

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
