// The soak's pure parts: the running line fits, the rate errors they give, and the verdicts.
#include "checker/soak/soak.h"

#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

const double SOAK_MIN_FIT_SECONDS = 1;
const double SOAK_FLIGHT_SECONDS = 10;
const double SOAK_GLITCH_PERIODS = 2;
const double SOAK_FAIL_FACTOR = 5;
const double SOAK_POSITION_PACE_PPM = 1e5;

void soakFitAdd(SoakFit *fit, double x, double y)
{
    fit->count += 1;
    double dx = x - fit->meanX;
    double dy = y - fit->meanY;
    fit->meanX += dx / fit->count;
    fit->meanY += dy / fit->count;
    fit->sxx += dx * (x - fit->meanX);
    fit->sxy += dx * (y - fit->meanY);
    fit->syy += dy * (y - fit->meanY);
}

void soakFitMerge(SoakFit *into, const SoakFit &other)
{
    if (other.count == 0)
        return;
    if (into->count == 0) {
        *into = other;
        return;
    }
    double n = into->count + other.count;
    double dx = other.meanX - into->meanX;
    double dy = other.meanY - into->meanY;
    double share = into->count * other.count / n;
    into->sxx += other.sxx + dx * dx * share;
    into->sxy += other.sxy + dx * dy * share;
    into->syy += other.syy + dy * dy * share;
    into->meanX += dx * other.count / n;
    into->meanY += dy * other.count / n;
    into->count = n;
}

double soakFitSlope(const SoakFit &fit)
{
    return fit.count >= 3 && fit.sxx > 0 ? fit.sxy / fit.sxx : NAN;
}

double soakFitSlopeError(const SoakFit &fit)
{
    double slope = soakFitSlope(fit);
    if (isnan(slope))
        return NAN;
    double residual = fit.syy - slope * fit.sxy;
    if (residual < 0)
        residual = 0;  // rounding of a perfect line
    return sqrt(residual / (fit.count - 2) / fit.sxx);
}

// Frames per microsecond against the rate, in ppm.
static double ppmOf(double framesPerUs, double rate)
{
    return usableRate(rate) ? (framesPerUs * 1e6 / rate - 1) * 1e6 : NAN;
}

static double ppmError(double framesPerUsError, double rate)
{
    return usableRate(rate) ? framesPerUsError * 1e6 / rate * 1e6 : NAN;
}

double soakWindowPpm(const SoakResults &r, const SoakWindow &w)
{
    // Checkpoints keep their own schedule: a window may come a little short of its length.
    if (w.switchCount < SOAK_MIN_FIT_SWITCHES || w.seconds < SOAK_MIN_FIT_SECONDS / 2)
        return NAN;
    return ppmOf(soakFitSlope(w.switches) * r.ticksPerUs, r.setup.figures.sampleRate);
}

void soakFigures(const SoakResults &r, SoakFigures *f)
{
    double rate = r.setup.figures.sampleRate;
    double span = r.elapsedS;
    bool enough = r.switches >= SOAK_MIN_FIT_SWITCHES && span >= SOAK_MIN_FIT_SECONDS;
    f->ppm = enough ? ppmOf(soakFitSlope(r.switchFit) * r.ticksPerUs, rate) : NAN;
    f->ppmError = enough ? ppmError(soakFitSlopeError(r.switchFit) * r.ticksPerUs, rate) : NAN;
    const SoakPosition &p = r.position;
    f->positionPpm = ppmOf(soakFitSlope(p.byReadTime), rate);
    f->positionPpmError = ppmError(soakFitSlopeError(p.byReadTime), rate);
    f->stampPpm = ppmOf(soakFitSlope(p.byStamp), rate);
    f->stampPpmError = ppmError(soakFitSlopeError(p.byStamp), rate);

    // The trend: a line through the windows' rate errors against their middles, each weighed by
    // its length (weights scaled to a mean of 1, so that the usual standard error holds).
    double total = 0;
    f->trendWindows = 0;
    for (int i = 0; i < r.windowCount; i++) {
        if (!isnan(soakWindowPpm(r, r.windows[i]))) {
            f->trendWindows++;
            total += r.windows[i].seconds;
        }
    }
    SoakFit trend = {};
    double n = f->trendWindows;
    for (int pass = 0; pass < 2; pass++) {
        double slope = soakFitSlope(trend), residuals = 0;
        for (int i = 0; i < r.windowCount && total > 0; i++) {
            const SoakWindow &w = r.windows[i];
            double ppm = soakWindowPpm(r, w);
            if (isnan(ppm))
                continue;
            double x = (w.startS + w.seconds / 2) / 3600, weight = w.seconds * n / total;
            if (pass == 0) {
                // A point of weight w counts as w points at the same place.
                SoakFit one = {weight, x, ppm, 0, 0, 0};
                soakFitMerge(&trend, one);
            } else {
                double residual = ppm - (trend.meanY + slope * (x - trend.meanX));
                residuals += weight * residual * residual;
            }
        }
        if (pass == 1) {
            f->trendPpmPerHour = n >= 3 ? slope : NAN;
            f->trendError = n >= 3 && trend.sxx > 0 ? sqrt(residuals / (n - 2) / trend.sxx) : NAN;
        }
    }
    double hours = r.elapsedS / 3600;
    f->latePerHour = hours > 0 ? r.late / hours : NAN;
    f->glitchesPerHour = hours > 0 ? r.glitches / hours : NAN;
}

const char *soakVerdictName(int verdict)
{
    switch (verdict) {
    case SOAK_PASS: return "PASS";
    case SOAK_WARN: return "WARN";
    case SOAK_FAIL: return "FAIL";
    default: return "not judged";
    }
}

const char *soakFindingName(int finding)
{
    static const char *const names[SOAK_FINDINGS] = {
        "switches", "stream_kept", "rate_error", "rate_trend", "sample_position", "late_switches",
        "glitches",
    };
    return finding >= 0 && finding < SOAK_FINDINGS ? names[finding] : "";
}

static void verdict(SoakJudgement *j, int finding, int v, const char *format, ...) PRINTF_LIKE(4, 5);
static void verdict(SoakJudgement *j, int finding, int v, const char *format, ...)
{
    j->verdict[finding] = v;
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(j->why[finding], sizeof j->why[finding], format, arguments);
    va_end(arguments);
}

static void setAsideForTheChecker(const SoakResults &r, SoakJudgement *j);

void judgeSoak(const CheckerOptions &options, const SoakResults &r, const SoakFigures &f,
               SoakJudgement *j)
{
    memset(j, 0, sizeof *j);
    j->endedAtGlitch = r.end == SOAK_FIRST_GLITCH;
    if (r.switches == 0)
        verdict(j, FINDING_SWITCHES, SOAK_FAIL, "the driver made no buffer switch in the %.1f s", r.elapsedS);
    else
        verdict(j, FINDING_SWITCHES, SOAK_PASS, "%lld switches in %.1f s", r.switches, r.elapsedS);

    if (r.stopped) {
        verdict(j, FINDING_STREAM, SOAK_FAIL, "the switches stopped %.2f s into the run and did not "
                "come back", r.stoppedAtS);
    } else if (r.switches > 0) {
        verdict(j, FINDING_STREAM, SOAK_PASS, "the longest gap was %.1f ms", r.longestGapUs / 1000);
    } else {
        verdict(j, FINDING_STREAM, SOAK_NOT_JUDGED, "no switch to judge");
    }

    // A rate error is judged only where its spread (three standard errors) leaves no doubt: a
    // busy machine's delays widen it, and that is not the driver's doing.
    double limit = options.maxPpm;
    double low = fabs(f.ppm) - 3 * f.ppmError, high = fabs(f.ppm) + 3 * f.ppmError;
    if (isnan(f.ppm)) {
        verdict(j, FINDING_RATE, SOAK_NOT_JUDGED, "too short for a regression: %lld switches in %.1f s "
                "(it needs %d over %g s)", r.switches, r.elapsedS, SOAK_MIN_FIT_SWITCHES,
                SOAK_MIN_FIT_SECONDS);
    } else if (low > SOAK_FAIL_FACTOR * limit) {
        verdict(j, FINDING_RATE, SOAK_FAIL, "%+.1f ppm (standard error %.1f), over %g x --max-ppm %g",
                f.ppm, f.ppmError, SOAK_FAIL_FACTOR, limit);
    } else if (low > limit) {
        verdict(j, FINDING_RATE, SOAK_WARN, "%+.1f ppm (standard error %.1f), over --max-ppm %g",
                f.ppm, f.ppmError, limit);
    } else if (high <= limit) {
        verdict(j, FINDING_RATE, SOAK_PASS, "%+.1f ppm (standard error %.1f), within --max-ppm %g",
                f.ppm, f.ppmError, limit);
    } else {
        j->rateTooNoisy = true;
        verdict(j, FINDING_RATE, SOAK_NOT_JUDGED, "%+.1f ppm with a standard error of %.1f: the "
                "switches came too unevenly to tell it from --max-ppm %g (a busy machine; a longer "
                "soak narrows it)", f.ppm, f.ppmError, limit);
    }

    if (isnan(f.trendPpmPerHour) || isnan(f.trendError)) {
        verdict(j, FINDING_TREND, SOAK_NOT_JUDGED, "%d windows with a rate error; a trend needs 3",
                f.trendWindows);
    } else if (fabs(f.trendPpmPerHour) > options.maxTrend &&
               fabs(f.trendPpmPerHour) > 3 * f.trendError) {
        verdict(j, FINDING_TREND, SOAK_WARN, "%+.1f ppm per hour (standard error %.1f), over "
                "--max-trend %g", f.trendPpmPerHour, f.trendError, options.maxTrend);
    } else if (fabs(f.trendPpmPerHour) + 3 * f.trendError <= options.maxTrend) {
        verdict(j, FINDING_TREND, SOAK_PASS, "%+.1f ppm per hour (standard error %.1f): within "
                "--max-trend %g", f.trendPpmPerHour, f.trendError, options.maxTrend);
    } else {
        verdict(j, FINDING_TREND, SOAK_NOT_JUDGED, "%+.1f ppm per hour with a standard error of "
                "%.1f: too uncertain to tell from --max-trend %g (a longer soak narrows it)",
                f.trendPpmPerHour, f.trendError, options.maxTrend);
    }

    // A position that stands or crawls misleads every host that follows it, as much as one that
    // goes back: its pace against the read times must be within a tenth of the rate.
    const SoakPosition &p = r.position;
    char answer[32];
    const char *firstError = p.failedReads ? asioErrorName(p.firstError, answer, sizeof answer) : "none";
    if (p.backs || p.jumps) {
        verdict(j, FINDING_POSITION, SOAK_FAIL, "it went back %lld times and jumped %lld times; the "
                "first at %.2f s, from %lld to %lld", p.backs, p.jumps, p.faultAtS,
                static_cast<long long>(p.faultBefore), static_cast<long long>(p.faultAfter));
    } else if (p.reads < 2) {
        verdict(j, FINDING_POSITION, p.failedReads ? SOAK_FAIL : SOAK_NOT_JUDGED,
                "%lld reads answered ASE_OK, %lld did not (the first: %s)", p.reads, p.failedReads,
                firstError);
    } else if (!(fabs(f.positionPpm) <= SOAK_POSITION_PACE_PPM)) {
        verdict(j, FINDING_POSITION, SOAK_FAIL, "it moved at %+.0f ppm of the rate against the time "
                "of its reads (from %lld to %lld in %lld reads): it stands or crawls", f.positionPpm,
                static_cast<long long>(p.first), static_cast<long long>(p.last), p.reads);
    } else if (p.failedReads) {
        verdict(j, FINDING_POSITION, SOAK_WARN, "%lld reads answered ASE_OK, %lld did not (the first: "
                "%s)", p.reads, p.failedReads, firstError);
    } else {
        verdict(j, FINDING_POSITION, SOAK_PASS, "%lld reads, none behind the one before or ahead "
                "of the time since the first, from %lld to %lld", p.reads,
                static_cast<long long>(p.first), static_cast<long long>(p.last));
    }

    if (options.maxLate < 0) {
        verdict(j, FINDING_LATE, SOAK_NOT_JUDGED, "%lld late (no --max-late given)", r.late);
    } else if (r.late > options.maxLate) {
        verdict(j, FINDING_LATE, SOAK_FAIL, "%lld late, over --max-late %ld", r.late, options.maxLate);
    } else {
        verdict(j, FINDING_LATE, SOAK_PASS, "%lld late, within --max-late %ld", r.late, options.maxLate);
    }

    if (r.switches == 0) {
        verdict(j, FINDING_GLITCHES, SOAK_NOT_JUDGED, "no switch to judge");
    } else if (j->endedAtGlitch) {
        verdict(j, FINDING_GLITCHES, SOAK_FAIL, "the soak ended at the first, %.2f s into the run "
                "(--until-glitch)", r.firstGlitchS);
    } else if (options.maxGlitches >= 0) {
        verdict(j, FINDING_GLITCHES, r.glitches > options.maxGlitches ? SOAK_FAIL : SOAK_PASS,
                "%lld, --max-glitches %ld", r.glitches, options.maxGlitches);
    } else if (r.glitches > 0) {
        verdict(j, FINDING_GLITCHES, SOAK_WARN, "%lld, the first %.2f s into the run", r.glitches,
                r.firstGlitchS);
    } else {
        verdict(j, FINDING_GLITCHES, SOAK_PASS, "none");
    }
    if (r.missedByChecker > 0)
        setAsideForTheChecker(r, j);
}

// Switches the ring overwrote before the checker took them look like gaps and shift the count
// the rate is fitted on: what rests on them is not held against the driver.
static void setAsideForTheChecker(const SoakResults &r, SoakJudgement *j)
{
    const int findings[] = {FINDING_RATE, FINDING_LATE, FINDING_GLITCHES};
    j->checkerBehind = true;
    for (int k : findings) {
        if (j->verdict[k] == SOAK_WARN || j->verdict[k] == SOAK_FAIL || k == FINDING_RATE) {
            verdict(j, k, SOAK_NOT_JUDGED, "the checker fell behind and lost %lld switches in its "
                    "ring before it took them: not judged", r.missedByChecker);
        }
    }
}

int soakStatus(const CheckerOptions &options, const SoakJudgement &j)
{
    int status = EXIT_FINE;
    for (int k = 0; k < SOAK_FINDINGS; k++) {
        int v = j.verdict[k];
        if (v == SOAK_FAIL || (v == SOAK_WARN && options.strict))
            status = EXIT_CHECK_MISSED;
    }
    // A soak --until-glitch ended early has judged what it was run for: the glitch.
    if (j.verdict[FINDING_RATE] == SOAK_NOT_JUDGED && !j.endedAtGlitch)
        status = worseStatus(status, j.rateTooNoisy || j.checkerBehind ? EXIT_SHORTFALL : EXIT_CHECK_MISSED);
    if (j.checkerBehind)
        status = worseStatus(status, EXIT_SHORTFALL);
    return status;
}
