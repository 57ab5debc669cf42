#include "tests/support/report_records.h"

#include "checker/checker.h"

#include <stdio.h>
#include <string.h>

const double SAMPLE_PERIOD_US = 256 / 48000.0 * 1e6;

static void fillInfo(InfoResults *info, long channels)
{
    *info = InfoResults();
    info->stage = INFO_DONE;
    DriverFigures &f = info->figures;
    f.minSize = 64;
    f.maxSize = 2048;
    f.preferredSize = 256;
    f.granularity = -1;
    f.sampleRate = 48000;
    f.inputChannels = f.outputChannels = channels;
    info->listedInputs = info->listedOutputs = channels;
    for (long i = 0; i < channels && i < MAX_LISTED_CHANNELS; i++) {
        snprintf(info->inputs[i].name, sizeof info->inputs[i].name, "In %ld", i + 1);
        snprintf(info->outputs[i].name, sizeof info->outputs[i].name, "Out %ld", i + 1);
        info->inputs[i].channel = info->outputs[i].channel = i;
        info->inputs[i].isInput = 1;
        info->inputs[i].type = info->outputs[i].type = ASIOST_INT32_LSB;
    }
    for (int i = 0; i < PROBE_RATES; i++)
        info->rateAnswers[i] = probeRates[i] == 48000 ? ASE_OK : ASE_NoClock;
    info->inputLatency = info->outputLatency = 288;
    info->clockCount = 1;
    snprintf(info->clocks[0].name, sizeof info->clocks[0].name, "Internal");
    info->clocks[0].isCurrentSource = 1;
}

static void fillConform(ConformResults *conform, bool faults)
{
    *conform = ConformResults();
    conform->repetitions = conform->repetitionsRun = 1;
    conform->runningCheck = -1;
    for (int c = 0; c < CHECK_COUNT; c++) {
        conform->wanted[c] = true;
        conform->checks[c].verdict = faults && c >= 30 && c < 35 ? VERDICT_NOT_RUN : VERDICT_PASS;
        snprintf(conform->checks[c].evidence, EVIDENCE_SIZE, "evidence of check %d", c);
    }
    if (!faults)
        return;
    conform->checks[CHECK_STREAM_RATE].verdict = VERDICT_WARN;
    conform->checks[CHECK_BUFFERS_POINTERS].verdict = VERDICT_FAIL;
    snprintf(conform->checks[CHECK_BUFFERS_POINTERS].evidence, EVIDENCE_SIZE,
             "buffers <0> & \"1\" overlap");
}

static void fillRun(RunResults *run, long long switches)
{
    *run = RunResults();
    run->stage = RUN_STOPPED;
    RunSetup &s = run->setup;
    s.bufferSize = 256;
    s.figures.sampleRate = 48000;
    s.periodUs = SAMPLE_PERIOD_US;
    s.elapsedS = switches * SAMPLE_PERIOD_US / 1e6;
    TimingFigures &t = run->timing;
    t.switches = t.kept = switches;
    t.intervals = switches - 1;
    t.expected = static_cast<double>(switches);
    t.ratio = 1;
    t.late = 7;
    t.minUs = 100;
    t.medianUs = SAMPLE_PERIOD_US;
    t.p99Us = t.p999Us = SAMPLE_PERIOD_US + 50;
    t.maxUs = 1.9 * SAMPLE_PERIOD_US;
    t.longestCallbackUs = 12.5;
    t.cpu.measured = true;
    t.cpu.windowMs = s.elapsedS * 1e3;
    t.cpu.driverMs = t.cpu.windowMs * 0.382;
    t.cpu.callbackMs = t.cpu.windowMs * 0.004;
    t.cpu.checkerMs = t.cpu.windowMs * 0.014;
    t.cpu.processMs = t.cpu.driverMs + t.cpu.callbackMs + t.cpu.checkerMs;
    t.cpu.switches = switches;
    t.histogramBinUs = 3 * SAMPLE_PERIOD_US / TIMING_HISTOGRAM_BINS;
    t.histogram[20] = 10;
    t.histogram[21] = switches - 1 - 17;
    t.histogram[40] = 7;  // 1.9 periods: late
    t.timelineBins = TIMING_TIMELINE_BINS;
    for (int b = 0; b < TIMING_TIMELINE_BINS; b++) {
        t.timelineLowUs[b] = -40;
        t.timelineHighUs[b] = 60;
    }
    // 20 ms behind, then on the way back, then on time again.
    t.timelineHighUs[SAMPLE_SLIP_STRETCH] = 20000;
    t.timelineLowUs[SAMPLE_SLIP_STRETCH + 1] = 9000;
    t.timelineHighUs[SAMPLE_SLIP_STRETCH + 1] = 12000;
    t.timelineMaxUs = 20000;
    t.timelineMinUs = -40;
    run->messages.bySelector[ASIO_MSG_SELECTOR_SUPPORTED] = 8;
    run->messages.bySelector[ASIO_MSG_ENGINE_VERSION] = 1;
    run->messages.bufferSwitches = static_cast<long>(switches);

    // A reset request the checker followed: the preferred size went from 256 to 512.
    run->trips.count = 1;
    HostRoundTrip &trip = run->trips.trips[0];
    trip.requests = PENDING_RESET;
    trip.policy = RESET_FOLLOW;
    trip.requestMs = 530;
    trip.afterSwitch = 100;
    trip.thread = 1234;
    trip.before.preferredSize = 256;
    trip.before.sampleRate = trip.after.sampleRate = 48000;
    trip.after.preferredSize = 512;
    trip.failedStep = -1;
    for (int step : {STEP_STOP, STEP_DISPOSE, STEP_CREATE_BUFFERS, STEP_START})
        trip.made[step] = true;
    trip.bufferSize = 512;
    trip.periodUs = 512 / 48000.0 * 1e6;
    trip.firstSwitchMs = 108;
    trip.judged = true;
    trip.timing.switches = trip.timing.kept = 200;
    trip.timing.expected = 200;
    trip.timing.ratio = 1;
    trip.timing.windowUs = 200 * trip.periodUs;
}

static void fillSweep(SweepResults *sweep)
{
    *sweep = SweepResults();
    sweep->stage = RUN_STOPPED;
    sweep->outChannel = 0;
    sweep->inChannel = 1;
    sweep->repeats = 3;
    sweep->tolerance = 8;
    sweep->runningSetting = -1;
    for (double rate : {48000.0, 96000.0}) {
        for (long size = 64; size <= 2048; size *= 2) {
            SweepSetting &s = sweep->settings[sweep->settingCount++];
            s.rate = rate;
            s.size = size;
            s.repeatsRun = 3;
            s.measured = true;
            s.median = 2 * size + 48;
            for (int k = 0; k < 3; k++)
                s.roundTrip[k] = s.median;
            s.reportedIn = size + 32;
            s.reportedOut = size + 16;
        }
    }
    sweep->settings[SAMPLE_WIDE_SETTING].reportedOut += 64;
    sweep->settings[SAMPLE_WIDE_SETTING].difference = 64;
    sweep->settings[SAMPLE_WIDE_SETTING].outsideTolerance = true;
    sweep->settings[SAMPLE_LOST_SETTING].measured = false;
}

static void fillIntegrity(IntegrityResults *integrity)
{
    *integrity = IntegrityResults();
    integrity->stage = RUN_STOPPED;
    integrity->outChannel = 0;
    integrity->inChannel = 1;
    integrity->setup.elapsedS = 10;
    integrity->bits = 24;
    integrity->analysis.state = INTEGRITY_LOCKED;
    integrity->analysis.delay = integrity->analysis.lockDelay = 560;
    integrity->analysis.received = 480000;
    integrity->analysis.matched = 479000;
    integrity->analysis.differingBits = 0x3;
    integrity->analysis.transparentBits = 22;
    integrity->analysis.keptEvents = MAX_INTEGRITY_EVENTS;
    for (int k = 0; k < MAX_INTEGRITY_EVENTS; k++) {
        IntegrityEvent &e = integrity->analysis.events[k];
        e.kind = k % EVENT_KINDS;
        e.position = k * 4320;
        e.timeUs = k * 9e4;
        e.size = 1;
        integrity->analysis.eventCounts[e.kind]++;
    }
    integrity->analysis.eventCounts[EVENT_DROPPED] += 400;  // more than were kept
    integrity->analysis.dropped = integrity->analysis.eventCounts[EVENT_DROPPED];
}

// The part's document as its command writes it, from its record.
static void writeDocument(SampleRecords *s, ReportPart part)
{
    static const char *const commandOf[REPORT_PARTS] = {"info", "conform", "run", "latency",
                                                        "integrity"};
    PartResult &p = s->report.parts[part];
    p.json.clear();
    jsonToBuffer(&p.json);
    useProgramTables();
    CheckerOptions options = {};
    options.maxLate = -1;
    options.command = findCommand(commandOf[part]);
    switch (part) {
    case PART_INFO:
        infoResults = s->info;
        writeInfoDocument(options, 0, p.outcome, p.exitCode);
        break;
    case PART_CONFORM:
        conformResults = s->conform;
        writeConformDocument(options, 0, p.outcome, p.exitCode);
        break;
    case PART_RUN:
        runResults = s->run;
        writeRunDocument(options, 0, p.outcome, p.exitCode);
        break;
    case PART_SWEEP:
        sweepResults = s->sweep;
        writeSweepDocument(options, 0, p.outcome, p.exitCode);
        break;
    case PART_INTEGRITY:
        integrityResults = s->integrity;
        writeIntegrityDocument(options, 0, p.outcome, p.exitCode);
        break;
    case REPORT_PARTS: break;
    }
    jsonToStdout();
}

void fillSampleReport(SampleRecords *s, long channels, long long switches, bool cable)
{
    fillInfo(&s->info, channels);
    fillConform(&s->conform, cable);
    fillRun(&s->run, switches);
    fillSweep(&s->sweep);
    fillIntegrity(&s->integrity);

    Report &r = s->report;
    r.facts = ReportFacts();
    ReportFacts &f = r.facts;
    snprintf(f.listName, sizeof f.listName, "Big M\xFCller Interface");  // u-umlaut in code page 1252
    snprintf(f.clsid, sizeof f.clsid, "{D7C77681-91D4-4CA3-9AFA-7427AB911F3F}");
    snprintf(f.server, sizeof f.server, "C:\\drivers\\big.dll");
    snprintf(f.program, sizeof f.program, "quorvelcheck 1.2.0 (x64)");
    snprintf(f.date, sizeof f.date, "2024-05-01 14:03:22 +02:00");
    snprintf(f.processor, sizeof f.processor, "A Processor, 8 logical processors");
    snprintf(f.windows, sizeof f.windows, "Windows 10 Pro, version 10.0, build 19045");
    snprintf(f.commandLine, sizeof f.commandLine, "quorvelcheck64 report big%s -o r.html",
             cable ? " --out 0 --in 1" : "");
    r.cable = cable;
    r.outChannel = cable ? 0 : -1;
    r.inChannel = cable ? 1 : -1;
    r.info = &s->info;
    r.conform = &s->conform;
    r.run = &s->run;
    r.sweep = &s->sweep;
    r.integrity = &s->integrity;
    const int codes[REPORT_PARTS] = {EXIT_FINE, cable ? EXIT_CHECK_MISSED : EXIT_FINE, EXIT_FINE,
                                     EXIT_CHECK_MISSED, EXIT_CRASHED};
    for (int k = 0; k < REPORT_PARTS; k++) {
        PartResult &p = r.parts[k];
        p.ran = cable || k <= PART_RUN;
        p.exitCode = codes[k];
        p.outcome = SessionOutcome();
        p.outcome.workerStartMs = 20;
        p.failure[0] = '\0';
        p.driver = OpenedDriver();
        p.driver.initialised = true;
        snprintf(p.driver.name, sizeof p.driver.name, "Big");
        p.driver.version = 3;
        p.calls = CallNotes();
    }
    PartResult &crashed = r.parts[PART_INTEGRITY];
    crashed.outcome.end = SESSION_CRASHED;
    snprintf(crashed.outcome.call, sizeof crashed.outcome.call, "stop()");
    snprintf(crashed.outcome.text, sizeof crashed.outcome.text,
             "the driver crashed in stop(): exception 0xC0000005 (access violation)");
    snprintf(crashed.failure, sizeof crashed.failure, "%s", crashed.outcome.text);
    for (int k = 0; k < REPORT_PARTS; k++) {
        if (r.parts[k].ran)
            writeDocument(s, static_cast<ReportPart>(k));
    }
}
