// Starting a worker: its command line in full Unicode (a program in a folder with a long name, or
// one outside the ANSI code page, starts too), its shared record and pipes, and a job object that
// ends it with the parent.
#include "checker/session/worker_parent.h"

#include <stdio.h>
#include <string.h>

static std::string arguments;

void quoteArgument(std::string *line, const char *argument)
{
    if (*argument && !strpbrk(argument, " \t\"")) {
        *line += argument;
        return;
    }
    // The quoting CommandLineToArgvW and the C runtime undo: backslashes double before a quote.
    *line += '"';
    size_t backslashes = 0;
    for (const char *c = argument; *c; c++) {
        if (*c == '\\') {
            backslashes++;
            continue;
        }
        line->append(*c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        *line += *c;
    }
    line->append(backslashes * 2, '\\');
    *line += '"';
}

static std::string utf8(const wchar_t *wide)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    std::string text(size > 0 ? size : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, &text[0], size, nullptr, nullptr);
    text.resize(strlen(text.c_str()));
    return text;
}

static std::wstring wide(const char *utf8Text)
{
    int size = MultiByteToWideChar(CP_UTF8, 0, utf8Text, -1, nullptr, 0);
    std::wstring text(size > 0 ? size : 1, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8Text, -1, &text[0], size);
    text.resize(wcslen(text.c_str()));
    return text;
}

// The command line after the program's name, as the C runtime finds argv[0]: quoted up to the next
// quote, or up to white space.
static const wchar_t *commandTail(const wchar_t *line)
{
    if (*line == L'"') {
        for (line++; *line && *line != L'"'; line++) {
        }
        line += *line ? 1 : 0;
    } else {
        for (; *line && *line != L' ' && *line != L'\t'; line++) {
        }
    }
    while (*line == L' ' || *line == L'\t')
        line++;
    return line;
}

void userArguments(int, char **)
{
    // From the wide command line, as typed: the C runtime's argv has lost what the ANSI code page
    // lacks.
    arguments = utf8(commandTail(GetCommandLineW()));
}

const char *userArgumentText()
{
    return arguments.c_str();
}

// The program's own path, however long.
static std::wstring programPath()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD got = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (got < path.size()) {
            path.resize(got);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

static unsigned long long handleNumber(HANDLE handle)
{
    return static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(handle));
}

// The worker's command line: the program, the private argument, then `commandArguments`.
static std::wstring workerLine(const std::wstring &program, const WorkerProcess &w, HANDLE pipeWrite,
                               const char *commandArguments)
{
    std::string line;
    quoteArgument(&line, utf8(program.c_str()).c_str());
    char private_[96];
    snprintf(private_, sizeof private_, " %s%llu,%llu,%llu ", WORKER_ARGUMENT,
             handleNumber(w.mapping), handleNumber(pipeWrite), handleNumber(w.stopRun));
    line += private_;
    line += commandArguments;
    return wide(line.c_str());
}

// The job that ends the worker and all it started when the last handle to it closes: the
// parent's, when the parent ends however it ends.
static HANDLE makeJob()
{
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job && !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits,
                                        sizeof limits)) {
        CloseHandle(job);
        job = nullptr;
    }
    return job;
}

// The record the worker writes and the parent reads, and the two pipes.
static bool makeChannels(WorkerProcess *w, HANDLE *pipeWrite, HANDLE *outputWrite)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    w->mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, &inherit, PAGE_READWRITE, 0,
                                    sizeof(WatchRecord), nullptr);
    w->watch = w->mapping ? static_cast<WatchRecord *>(MapViewOfFile(w->mapping, FILE_MAP_READ, 0, 0,
                                                                     sizeof(WatchRecord)))
                          : nullptr;
    w->stopRun = CreateEventW(&inherit, TRUE, FALSE, nullptr);
    if (!w->watch || !w->stopRun || !CreatePipe(&w->pipeRead, pipeWrite, &inherit, 1 << 20) ||
        !CreatePipe(&w->outputRead, outputWrite, &inherit, 1 << 16))
        return false;
    SetHandleInformation(w->pipeRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(w->outputRead, HANDLE_FLAG_INHERIT, 0);
    return true;
}

bool startWorker(const char *commandArguments, WorkerProcess *w, SessionOutcome *outcome)
{
    HANDLE pipeWrite = nullptr, outputWrite = nullptr;
    outcome->end = SESSION_NOT_STARTED;
    if (!makeChannels(w, &pipeWrite, &outputWrite)) {
        outcome->exitCode = GetLastError();
        if (pipeWrite)
            CloseHandle(pipeWrite);
        return false;
    }
    std::wstring program = programPath();
    std::wstring line = workerLine(program, *w, pipeWrite, commandArguments);
    // The worker's own messages come as frames; its standard handles are the driver's, collected
    // apart, so that a JSON document on stdout stays whole.
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = startup.hStdError = outputWrite;
    startup.dwFlags = STARTF_USESTDHANDLES;
    w->job = makeJob();
    QueryPerformanceCounter(&w->created);
    BOOL started = CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                                  nullptr, nullptr, &startup, &w->process);
    DWORD error = GetLastError();
    CloseHandle(pipeWrite);
    CloseHandle(outputWrite);
    if (!started) {
        outcome->exitCode = error;
        return false;
    }
    // In the job before it runs a single instruction: nothing it starts escapes it.
    if (w->job)
        AssignProcessToJobObject(w->job, w->process.hProcess);
    ResumeThread(w->process.hThread);
    outcome->end = SESSION_FINISHED;
    return true;
}

void closeWorker(WorkerProcess *w)
{
    HANDLE handles[] = {w->process.hProcess, w->process.hThread, w->pipeRead, w->outputRead, w->job,
                        w->mapping, w->stopRun};
    if (w->watch)
        UnmapViewOfFile(w->watch);
    for (HANDLE handle : handles) {
        if (handle)
            CloseHandle(handle);
    }
}
