// compare against its target: two large documents compared in under 100 ms, the files read, parsed,
// judged and the result written. The documents are the largest the checker writes of their kind:
// conform repeated 100 times with both runs' 256 notifications, and info of 1,024 channels a
// direction with every rate; the new side differs from the base in a check, a figure and a name.
//
//     compare_bench [--quick]
//
// Exit code 0, or 1 when the target was missed or a comparison did not find its planted differences.
#include "bench/bench_clock.h"
#include "checker/checker.h"
#include "checker/compare/compare.h"

#include <windows.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>

namespace {

const double TARGET_MS = 100;

void add(std::string *out, const char *format, ...) PRINTF_LIKE(2, 3);
void add(std::string *out, const char *format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    *out += text;
}

std::string head(const char *command)
{
    std::string d = "{\n  \"program\": \"quorvelcheck\",\n  \"version\": \"1.3.0\",\n  \"build\": \"x64\",\n";
    add(&d, "  \"command\": \"%s\",\n  \"driver\": {\"index\": 0, \"name\": \"Bench\", \"clsid\": "
        "\"{00000000-0000-0000-0000-000000000000}\", \"driver_name\": \"Bench\", \"driver_version\": 7},\n",
        command);
    return d;
}

std::string notifications()
{
    std::string d = "\"notifications\": [";
    for (int k = 0; k < 256; k++) {
        add(&d, "%s\n      {\"ms\": %d.5, \"thread\": \"driver 1\", \"thread_id\": 4242, \"after_switch\": %d, "
            "\"kind\": \"message\", \"selector\": 3, \"selector_name\": \"kAsioResetRequest\", \"value\": 0, "
            "\"answer\": 1, \"message_pointer\": null, \"opt_pointer\": null, \"readable\": null}",
            k ? "," : "", k * 3, k * 7);
    }
    return d + "], \"notifications_not_kept\": 0";
}

// conform of 60 checks, 100 repetitions; `changed`: one check fails, as a new build might.
std::string conformDocument(bool changed)
{
    std::string d = head("conform");
    d += "  \"repetitions\": 100,\n  \"repetitions_run\": 100,\n  \"checks\": [";
    for (int c = 0; c < 60; c++) {
        const char *verdict = changed && c == 17 ? "FAIL" : "PASS";
        add(&d, "%s\n    {\"id\": \"phase%d.check%d\", \"phase\": \"phase%d\", \"description\": \"What "
            "check %d holds the driver to, in a sentence of ordinary length.\", \"verdict\": \"%s\", "
            "\"evidence\": \"The figures it saw, in a sentence that names them all.\", \"figure\": %d.25, "
            "\"evidence_repetition\": 1, \"repetitions\": [", c ? "," : "", c / 8, c, c / 8, c, verdict, c);
        for (int k = 0; k < 100; k++)
            add(&d, "%s\"%s\"", k ? ", " : "", verdict);
        d += "]}";
    }
    d += "\n  ],\n  \"cpu\": {\"stream\": {\"driver_core_share\": 3.5}, \"time_info\": {\"driver_core_share\": 3.7}},\n";
    d += "  \"runs\": {\"stream\": {" + notifications() + "}, \"time_info\": {" + notifications() + "}},\n";
    d += "  \"counts\": {\"pass\": 60, \"warn\": 0, \"fail\": 0, \"not_run\": 0, \"skipped\": 0},\n";
    return d + "  \"exit_code\": 0\n}\n";
}

std::string channels(const char *key, bool changed)
{
    std::string d;
    add(&d, "  \"%s\": [", key);
    for (int c = 0; c < 1024; c++) {
        add(&d, "%s\n    {\"channel\": %d, \"name\": \"%s %d\", \"group\": 0, \"active\": false, "
            "\"type\": 18, \"type_name\": \"ASIOSTInt32LSB\", \"bytes\": 4}",
            c ? "," : "", c, changed && c == 900 ? "Renamed" : "Analog", c);
    }
    return d + "],\n";
}

// info of 1,024 channels a direction; `changed`: another output latency and a channel renamed.
std::string infoDocument(bool changed)
{
    std::string d = head("info");
    d += "  \"buffer_size\": {\"min\": 64, \"max\": 4096, \"preferred\": 256, \"granularity\": -1},\n";
    d += "  \"sample_rate\": 48000,\n  \"sample_rates\": [";
    const int rates[] = {44100, 48000, 88200, 96000, 176400, 192000, 352800, 384000};
    for (int k = 0; k < 8; k++)
        add(&d, "%s{\"rate\": %d, \"answer\": \"ASE_OK\", \"accepted\": true}", k ? ", " : "", rates[k]);
    d += "],\n  \"input_channels\": 1024,\n  \"output_channels\": 1024,\n";
    d += channels("inputs", false) + channels("outputs", changed);
    add(&d, "  \"latency\": {\"input_frames\": 300, \"output_frames\": %d},\n", changed ? 364 : 300);
    d += "  \"clock_sources\": [{\"index\": 0, \"name\": \"Internal\", \"current\": true, \"channel\": -1, "
         "\"group\": -1}],\n";
    return d + "  \"exit_code\": 0\n}\n";
}

bool writeFile(const std::string &path, const std::string &text)
{
    FILE *file = fopen(path.c_str(), "wb");
    if (!file)
        return false;
    bool written = fwrite(text.data(), 1, text.size(), file) == text.size();
    return fclose(file) == 0 && written;
}

struct Case {
    const char *name;
    std::string (*document)(bool changed);
    int regressions;  // the planted differences, each a regression
};

}  // namespace

int main(int argc, char **argv)
{
    bool quick = argc > 1 && strcmp(argv[1], "--quick") == 0;
    int rounds = quick ? 5 : 20;
    useProgramTables();
    char folder[MAX_PATH];
    GetTempPathA(sizeof folder, folder);
    const Case cases[] = {
        {"conform, 60 checks repeated 100 times, 512 notifications", conformDocument, 1},
        {"info, 1,024 channels a direction", infoDocument, 2},
    };
    printf("### compare of two large documents (median of %d rounds; target %.0f ms)\n\n", rounds, TARGET_MS);
    printf("| documents | bytes each | ms | regressions found |\n|---|---:|---:|---:|\n");
    bool met = true;
    for (const Case &c : cases) {
        std::string base = std::string(folder) + "quorvel-compare-bench-base.json";
        std::string now = std::string(folder) + "quorvel-compare-bench-new.json";
        std::string baseText = c.document(false);
        if (!writeFile(base, baseText) || !writeFile(now, c.document(true))) {
            printf("cannot write %s\n", base.c_str());
            return 1;
        }
        CheckerOptions options = {};
        options.command = findCommand("compare");
        options.json = true;
        options.baseFiles = base.c_str();
        options.newFiles = now.c_str();
        double ms[20];
        int code = -1;
        std::string result;
        for (int k = 0; k < rounds; k++) {
            result.clear();
            jsonToBuffer(&result);
            int64_t start = benchTicks();
            code = runCompare(options);
            ms[k] = benchMicroseconds(benchTicks() - start) / 1000;
            jsonToStdout();
        }
        double median = benchMedian(ms, rounds);
        const char *found = strstr(result.c_str(), "\n  \"regressions\": ");
        int regressions = found ? atoi(found + 18) : -1;
        printf("| %s | %zu | %.1f | %d |\n", c.name, baseText.size(), median, regressions);
        met = met && median < TARGET_MS && code == EXIT_CHECK_MISSED && regressions == c.regressions;
        DeleteFileA(base.c_str());
        DeleteFileA(now.c_str());
    }
    printf("\n%s\n", met ? "Goal met: each comparison under 100 ms, its planted differences found."
                         : "**Goal missed: a comparison over 100 ms, or its planted differences not found.**");
    return met ? 0 : 1;
}
