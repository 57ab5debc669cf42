// The report's page against its targets: written within 1 s after the measurements of a 10-second
// run end, and under 2 MB for a driver with 128 channels and a run of 100,000 switches. Timed is
// what the report does once its parts have measured: their JSON documents, the header's facts (the
// registry and the system asked), the page, and the file written.
//
//     report_bench [--quick] [--page FILE.html]
//
// --page keeps the page of 128 channels in FILE. Exit code 0, or 1 when a target was missed.
#include "bench/bench_clock.h"
#include "checker/checker.h"
#include "checker/report/report.h"
#include "tests/support/report_records.h"

#include <windows.h>
#include <stdio.h>
#include <string.h>
#include <string>

namespace {

const double TIME_TARGET_MS = 1000;
const double SIZE_TARGET = 2e6;

struct Case {
    const char *name;
    long channels;
    long long switches;
    bool cable;
};

const Case CASES[] = {
    {"a 10-second run of the simulated device", 2, 1875, false},
    {"128 channels, 100,000 switches, a cable", 128, 100000, true},
};

struct Timing {
    double documentsMs, factsMs, pageMs, fileMs, totalMs;
    size_t bytes;
};

double since(int64_t start)
{
    return benchMicroseconds(benchTicks() - start) / 1000;
}

// One report's work after the measurements, as report_command.cpp does it.
Timing writeOnce(SampleRecords *s, const char *path, std::string *page)
{
    Timing t = {};
    int64_t start = benchTicks();
    CheckerOptions options = {};
    options.maxLate = -1;
    Report &r = s->report;
    for (int k = PART_INFO; k <= PART_RUN; k++)
        r.parts[k].json.clear();
    infoResults = s->info;
    conformResults = s->conform;
    runResults = s->run;
    jsonToBuffer(&r.parts[PART_INFO].json);
    options.command = findCommand("info");
    writeInfoDocument(options, 0, r.parts[PART_INFO].outcome, r.parts[PART_INFO].exitCode);
    jsonToBuffer(&r.parts[PART_CONFORM].json);
    options.command = findCommand("conform");
    writeConformDocument(options, 0, r.parts[PART_CONFORM].outcome, r.parts[PART_CONFORM].exitCode);
    jsonToBuffer(&r.parts[PART_RUN].json);
    options.command = findCommand("run");
    writeRunDocument(options, 0, r.parts[PART_RUN].outcome, r.parts[PART_RUN].exitCode);
    jsonToStdout();
    t.documentsMs = since(start);

    int64_t step = benchTicks();
    ReportFacts facts;
    collectReportFacts(0, &facts);
    t.factsMs = since(step);

    step = benchTicks();
    page->clear();
    writeReportPage(r, page);
    t.pageMs = since(step);

    step = benchTicks();
    FILE *file = fopen(path, "wb");
    if (file) {
        fwrite(page->data(), 1, page->size(), file);
        fclose(file);
    }
    t.fileMs = since(step);
    t.totalMs = since(start);
    t.bytes = page->size();
    return t;
}

}  // namespace

int main(int argc, char **argv)
{
    int rounds = 20;
    const char *keep = nullptr;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--quick") == 0) {
            rounds = 5;
        } else if (strcmp(argv[i], "--page") == 0 && i + 1 < argc) {
            keep = argv[++i];
        } else {
            fprintf(stderr, "usage: report_bench [--quick] [--page FILE.html]\n");
            return 2;
        }
    }
    char path[MAX_PATH];
    GetTempPathA(sizeof path, path);
    strcat(path, "quorvel-report-bench.html");

    static SampleRecords records;
    std::string page;
    bool met = true;
    printf("### The report's page once the measurements end (%s build)\n\n",
           sizeof(void *) == 8 ? "x64" : "x86");
    printf("Median of %d rounds, ms. Targets: the whole under %.0f ms; the file under %.0f MB.\n\n",
           rounds, TIME_TARGET_MS, SIZE_TARGET / 1e6);
    printf("| records | JSON documents | facts | page | file | whole | file size, bytes | targets |\n");
    printf("|---|---:|---:|---:|---:|---:|---:|---|\n");
    for (const Case &c : CASES) {
        fillSampleReport(&records, c.channels, c.switches, c.cable);
        double documents[100], facts[100], pages[100], files[100], totals[100];
        size_t bytes = 0;
        for (int round = 0; round < rounds; round++) {
            Timing t = writeOnce(&records, path, &page);
            documents[round] = t.documentsMs;
            facts[round] = t.factsMs;
            pages[round] = t.pageMs;
            files[round] = t.fileMs;
            totals[round] = t.totalMs;
            bytes = t.bytes;
        }
        double total = benchMedian(totals, rounds);
        bool ok = total < TIME_TARGET_MS && bytes < SIZE_TARGET;
        met = met && ok;
        printf("| %s | %.2f | %.2f | %.2f | %.2f | %.2f | %zu | %s |\n", c.name,
               benchMedian(documents, rounds), benchMedian(facts, rounds), benchMedian(pages, rounds),
               benchMedian(files, rounds), total, bytes, ok ? "met" : "**missed**");
        if (keep && c.cable) {
            FILE *file = fopen(keep, "wb");
            if (file) {
                fwrite(page.data(), 1, page.size(), file);
                fclose(file);
            }
        }
    }
    DeleteFileA(path);
    printf("\n%s\n", met ? "Both targets met." : "**A target was missed.**");
    return met ? 0 : 1;
}
