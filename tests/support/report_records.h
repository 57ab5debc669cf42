// The records of a report filled by hand, as a large driver and a long run leave them, with every
// part's JSON document written from them: for the report's unit test and its benchmark.
#pragma once

#include "checker/report/report.h"

enum {
    SAMPLE_SLIP_STRETCH = 100,  // the stretch of the run where the switches fall behind...
    SAMPLE_LOST_SETTING = 7,    // the sweep's setting whose pings were lost
    SAMPLE_WIDE_SETTING = 3,    // ... and the one outside the tolerance
};
extern const double SAMPLE_PERIOD_US;

struct SampleRecords {
    InfoResults info;
    ConformResults conform;
    RunResults run;
    SweepResults sweep;
    IntegrityResults integrity;
    Report report;
};

// Fills *s: a driver of `channels` inputs and outputs, a conformance run with a PASS, WARN, FAIL
// and not run among its checks, a run of `switches` at 256 frames and 48 kHz with a slip that
// catches up, and with `cable` a sweep of 2 rates by 6 sizes and an integrity run of 24 bits with
// 100 events kept. Every part ran: info, run 0; conform, sweep 1; integrity 4 (a crash). Without a
// cable the last two did not run and conform and run give 0 as well.
void fillSampleReport(SampleRecords *s, long channels, long long switches, bool cable);
