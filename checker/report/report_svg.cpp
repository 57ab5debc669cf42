// The report's pictures: inline SVG, drawn from the binned figures the records already hold, so that
// a picture's size does not grow with the run. Coordinates are in a 680-wide view box that the page
// scales; colours come from the page's classes.
#include "checker/report/report.h"

#include <math.h>
#include <stdarg.h>
#include <stdio.h>

enum { WIDTH = 680 };

// The plot area of a picture, and its axes' ranges.
struct Frame {
    double left, top, right, bottom;  // pixels
    double xFrom, xTo, yFrom, yTo;    // values at the edges
};

static double xAt(const Frame &f, double x)
{
    return f.left + (x - f.xFrom) / (f.xTo - f.xFrom) * (f.right - f.left);
}

static double yAt(const Frame &f, double y)
{
    return f.bottom - (y - f.yFrom) / (f.yTo - f.yFrom) * (f.bottom - f.top);
}

static void begin(std::string *page, int height, const char *label)
{
    appendFormat(page, "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 %d %d\" role=\"img\">"
              "<title>", WIDTH, height);
    appendXmlText(page, label);
    *page += "</title>\n";
}

static void end(std::string *page)
{
    *page += "</svg>\n";
}

static void line(std::string *page, const char *cls, double x1, double y1, double x2, double y2)
{
    appendFormat(page, "<line class=\"%s\" x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>\n", cls, x1, y1,
        x2, y2);
}

static void rect(std::string *page, const char *cls, double x, double y, double w, double h)
{
    appendFormat(page, "<rect class=\"%s\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\"/>\n", cls, x,
        y, w, h);
}

// anchor: "start", "middle" or "end".
PRINTF_LIKE(5, 6) static void text(std::string *page, double x, double y, const char *anchor, const char *format, ...)
{
    char content[256];
    va_list args;
    va_start(args, format);
    vsnprintf(content, sizeof content, format, args);
    va_end(args);
    appendFormat(page, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"%s\">", x, y, anchor);
    appendXmlText(page, content);
    *page += "</text>\n";
}

static void box(std::string *page, const Frame &f)
{
    appendFormat(page, "<rect class=\"axis\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\"/>\n", f.left,
        f.top, f.right - f.left, f.bottom - f.top);
}

// A step of 1, 2 or 5 times a power of ten that cuts `range` into about `parts`.
static double niceStep(double range, int parts)
{
    if (!(range > 0) || !isfinite(range))
        return 1;
    double rough = range / parts;
    double power = pow(10, floor(log10(rough)));
    double scaled = rough / power;
    return (scaled <= 1 ? 1 : scaled <= 2 ? 2 : scaled <= 5 ? 5 : 10) * power;
}

// Grid lines and labels along y at every step within the frame.
static void yTicks(std::string *page, const Frame &f, double step, double scale, const char *format)
{
    for (double v = ceil(f.yFrom / step) * step; v <= f.yTo + step * 1e-9; v += step) {
        double y = yAt(f, v);
        line(page, "grid", f.left, y, f.right, y);
        text(page, f.left - 4, y + 4, "end", format, v * scale);
    }
}

static void xTicks(std::string *page, const Frame &f, double step, double scale, const char *format)
{
    for (double v = ceil(f.xFrom / step) * step; v <= f.xTo + step * 1e-9; v += step) {
        double x = xAt(f, v);
        line(page, "grid", x, f.top, x, f.bottom);
        text(page, x, f.bottom + 14, "middle", format, v * scale);
    }
}

// "100k" style counts for the log axis.
static void countText(double count, char *out, size_t size)
{
    if (count >= 1e6)
        snprintf(out, size, "%gM", count / 1e6);
    else if (count >= 1e3)
        snprintf(out, size, "%gk", count / 1e3);
    else
        snprintf(out, size, "%g", count);
}

void svgIntervalHistogram(std::string *page, const TimingFigures &t, double periodUs)
{
    long long most = 1;
    for (long long count : t.histogram)
        most = count > most ? count : most;
    int decades = static_cast<int>(ceil(log10(static_cast<double>(most))));
    if (decades < 1)
        decades = 1;
    // Log scale from half a switch, so that a bin of one is still seen.
    Frame f = {56, 24, WIDTH - 12, 222, 0, 3, log10(0.5), static_cast<double>(decades)};
    begin(page, 262, "Intervals between switches against the period, count on a log scale");
    for (int d = 0; d <= decades; d++) {
        double y = yAt(f, d);
        char count[16];
        countText(pow(10, d), count, sizeof count);
        line(page, "grid", f.left, y, f.right, y);
        text(page, f.left - 4, y + 4, "end", "%s", count);
    }
    double binWidth = (f.right - f.left) / TIMING_HISTOGRAM_BINS;
    for (int b = 0; b < TIMING_HISTOGRAM_BINS; b++) {
        if (t.histogram[b] <= 0)
            continue;
        double y = yAt(f, log10(static_cast<double>(t.histogram[b])));
        // The bins from 1.5 periods on hold the late intervals.
        bool late = b * 3.0 / TIMING_HISTOGRAM_BINS >= 1.5 - 1e-9;
        rect(page, late ? "bar over" : "bar", f.left + b * binWidth + 0.5, y, binWidth - 1,
             f.bottom - y);
    }
    for (int p = 0; p <= 6; p++) {
        double x = xAt(f, p * 0.5);
        line(page, "axis", x, f.bottom, x, f.bottom + 4);
        text(page, x, f.bottom + 16, "middle", p == 6 ? "3+" : "%g", p * 0.5);
    }
    line(page, "mark", xAt(f, 1), f.top - 4, xAt(f, 1), f.bottom);
    text(page, xAt(f, 1) - 4, f.top - 6, "end", "period");
    line(page, "late", xAt(f, 1.5), f.top - 4, xAt(f, 1.5), f.bottom);
    text(page, xAt(f, 1.5) + 4, f.top - 6, "start", "late: 1.5 periods");
    box(page, f);
    text(page, (f.left + f.right) / 2, 256, "middle", "interval, in periods of %.1f us", periodUs);
    appendFormat(page, "<text x=\"14\" y=\"%.1f\" text-anchor=\"middle\" transform=\"rotate(-90 14 %.1f)\">"
              "switches</text>\n", (f.top + f.bottom) / 2, (f.top + f.bottom) / 2);
    end(page);
}

// The notifications that came after a switch of the run, each a mark at its switch.
static void notificationMarks(std::string *page, const Frame &f, const TimingFigures &t,
                              const NotificationRecord *notes)
{
    for (long k = 0; notes && t.switches > 0 && k < notes->kept; k++) {
        const Notification &n = notes->items[k].n;
        if (n.afterSwitch < 1 || n.afterSwitch > t.switches)
            continue;
        double x = f.left + (f.right - f.left) * n.afterSwitch / t.switches;
        const char *name = n.kind == NOTIFY_RATE ? "sampleRateDidChange" : selectorName(n.selector);
        appendFormat(page, "<g><title>after switch %lld: ", static_cast<long long>(n.afterSwitch));
        appendXmlText(page, name ? name : "selector");
        appendFormat(page, " (%ld)</title>\n", static_cast<long>(n.selector));
        line(page, "notice", x, f.top, x, f.bottom);
        if (n.kind == NOTIFY_RATE)
            text(page, x + 3, f.top + 10, "start", "rate");
        else
            text(page, x + 3, f.top + 10, "start", "%ld", static_cast<long>(n.selector));
        *page += "</g>\n";
    }
}

void svgLatenessTimeline(std::string *page, const TimingFigures &t, double periodUs,
                         const NotificationRecord *notifications)
{
    int bins = t.timelineBins < 0 ? 0 : t.timelineBins > TIMING_TIMELINE_BINS ? TIMING_TIMELINE_BINS
                                                                              : t.timelineBins;
    // From the earliest to the latest, with on time and 1.5 periods late always in sight.
    double low = 0, high = 1.5 * periodUs;
    for (int b = 0; b < bins; b++) {
        low = t.timelineLowUs[b] < low ? t.timelineLowUs[b] : low;
        high = t.timelineHighUs[b] > high ? t.timelineHighUs[b] : high;
    }
    bool inMs = high - low >= 20000;
    double step = niceStep(high - low, 5);
    Frame f = {64, 12, WIDTH - 12, 214, 0, static_cast<double>(bins > 0 ? bins : 1),
               floor(low / step) * step, ceil(high / step) * step};
    begin(page, 256, "Lateness of each stretch of switches against the ideal timeline");
    yTicks(page, f, step, inMs ? 1e-3 : 1, "%g");
    for (int q = 0; q <= 4; q++) {
        double x = f.left + q * (f.right - f.left) / 4;
        line(page, "axis", x, f.bottom, x, f.bottom + 4);
        text(page, x, f.bottom + 16, q == 0 ? "start" : q == 4 ? "end" : "middle", "%lld",
             t.switches * q / 4);
    }
    double width = (f.right - f.left) / (bins > 0 ? bins : 1);
    for (int b = 0; b < bins; b++) {
        double top = yAt(f, t.timelineHighUs[b]);
        double bottom = yAt(f, t.timelineLowUs[b]);
        if (bottom - top < 1.5) {
            top -= 0.75;
            bottom = top + 1.5;
        }
        rect(page, "band", xAt(f, b), top, width > 1.2 ? width - 0.2 : width, bottom - top);
    }
    line(page, "zero", f.left, yAt(f, 0), f.right, yAt(f, 0));
    text(page, f.right - 4, yAt(f, 0) - 4, "end", "on time");
    line(page, "late", f.left, yAt(f, 1.5 * periodUs), f.right, yAt(f, 1.5 * periodUs));
    text(page, f.right - 4, yAt(f, 1.5 * periodUs) - 4, "end", "1.5 periods late");
    notificationMarks(page, f, t, notifications);
    box(page, f);
    text(page, (f.left + f.right) / 2, 250, "middle", "switch number");
    appendFormat(page, "<text x=\"14\" y=\"%.1f\" text-anchor=\"middle\" transform=\"rotate(-90 14 %.1f)\">"
              "late, %s</text>\n", (f.top + f.bottom) / 2, (f.top + f.bottom) / 2, inMs ? "ms" : "us");
    end(page);
}

// The sweep's rates in order, and the range of its sizes and of its round trips in ms.
struct SweepScale {
    double rates[MAX_SWEEP_RATES];
    int rateCount;
    double smallest, largest, most;
};

static SweepScale sweepScale(const SweepResults &r, int count)
{
    SweepScale scale = {};
    for (int k = 0; k < count; k++) {
        const SweepSetting &s = r.settings[k];
        int c = 0;
        while (c < scale.rateCount && scale.rates[c] != s.rate)
            c++;
        if (c == scale.rateCount && scale.rateCount < MAX_SWEEP_RATES)
            scale.rates[scale.rateCount++] = s.rate;
        if (s.size <= 0 || !(s.rate > 0))
            continue;
        scale.smallest = scale.smallest == 0 || s.size < scale.smallest ? s.size : scale.smallest;
        scale.largest = s.size > scale.largest ? s.size : scale.largest;
        double reported = (s.reportedIn + s.reportedOut) * 1000.0 / s.rate;
        double measured = s.measured ? s.median * 1000.0 / s.rate : 0;
        scale.most = reported > scale.most ? reported : scale.most;
        scale.most = measured > scale.most ? measured : scale.most;
    }
    if (scale.largest <= 0)
        scale.largest = scale.smallest = 1;
    return scale;
}

// One rate's measured and reported lines, the differences between them, and its legend entry.
static void sweepRateLines(std::string *page, const SweepResults &r, int count, const Frame &f,
                           double rate, int c)
{
    std::string measured, reported;
    for (int k = 0; k < count; k++) {
        const SweepSetting &s = r.settings[k];
        if (s.rate != rate || s.size <= 0)
            continue;
        double x = xAt(f, log2(static_cast<double>(s.size)));
        double yReported = yAt(f, (s.reportedIn + s.reportedOut) * 1000.0 / s.rate);
        appendFormat(&reported, "%.1f,%.1f ", x, yReported);
        if (!s.measured)
            continue;
        double yMeasured = yAt(f, s.median * 1000.0 / s.rate);
        appendFormat(&measured, "%.1f,%.1f ", x, yMeasured);
        line(page, s.outsideTolerance ? "difference outside" : "difference", x, yMeasured, x,
             yReported);
        appendFormat(page, "<circle class=\"c%d\" cx=\"%.1f\" cy=\"%.1f\" r=\"3\"/>\n", c, x, yMeasured);
    }
    appendFormat(page, "<polyline class=\"measured c%d\" points=\"", c);
    *page += measured + "\"/>\n";
    appendFormat(page, "<polyline class=\"reported c%d\" points=\"", c);
    *page += reported + "\"/>\n";
    double x = f.left + (c % 4) * 150, y = 262 + 18 * (c / 4);
    line(page, (std::string("measured c") + std::to_string(c)).c_str(), x, y - 4, x + 24, y - 4);
    char rateText[32];
    formatRate(rate, rateText, sizeof rateText);
    text(page, x + 30, y, "start", "%s Hz", rateText);
}

void svgSweep(std::string *page, const SweepResults &r)
{
    int count = r.settingCount < 0 ? 0 : r.settingCount > MAX_SWEEP_SETTINGS ? MAX_SWEEP_SETTINGS
                                                                             : r.settingCount;
    SweepScale scale = sweepScale(r, count);
    double most = scale.most;
    double step = niceStep(most > 0 ? most : 1, 5);
    Frame f = {56, 12, WIDTH - 12, 214, log2(scale.smallest) - 0.3, log2(scale.largest) + 0.3, 0,
               ceil((most > 0 ? most : 1) / step) * step};
    begin(page, 256 + 18 * ((scale.rateCount + 3) / 4),
          "Round trip against buffer size, measured and reported, per rate");
    yTicks(page, f, step, 1, "%g");
    for (double size = scale.smallest; size <= scale.largest; size *= 2) {
        double x = xAt(f, log2(size));
        line(page, "grid", x, f.top, x, f.bottom);
        text(page, x, f.bottom + 16, "middle", "%.0f", size);
    }
    for (int c = 0; c < scale.rateCount; c++)
        sweepRateLines(page, r, count, f, scale.rates[c], c);
    box(page, f);
    text(page, (f.left + f.right) / 2, 246, "middle", "buffer size, frames");
    appendFormat(page, "<text x=\"14\" y=\"%.1f\" text-anchor=\"middle\" transform=\"rotate(-90 14 %.1f)\">"
              "round trip, ms</text>\n", (f.top + f.bottom) / 2, (f.top + f.bottom) / 2);
    end(page);
}

void svgIntegrityEvents(std::string *page, const IntegrityResults &r)
{
    int kept = r.analysis.keptEvents < 0 ? 0 : r.analysis.keptEvents > MAX_INTEGRITY_EVENTS ? MAX_INTEGRITY_EVENTS
                                                                          : r.analysis.keptEvents;
    double lastUs = r.setup.elapsedS * 1e6;
    for (int k = 0; k < kept; k++)
        lastUs = r.analysis.events[k].timeUs > lastUs ? r.analysis.events[k].timeUs : lastUs;
    if (!(lastUs > 0))
        lastUs = 1e6;
    const double lane = 22;
    Frame f = {120, 8, WIDTH - 12, 8 + lane * EVENT_KINDS, 0, lastUs / 1e6, 0, 1};
    begin(page, static_cast<int>(f.bottom) + 36, "Integrity events over the run, by kind");
    xTicks(page, f, niceStep(f.xTo, 8), 1, "%g");
    for (int kind = 0; kind < EVENT_KINDS; kind++) {
        double y = f.top + kind * lane;
        if (kind > 0)
            line(page, "grid", f.left, y, f.right, y);
        text(page, f.left - 6, y + lane / 2 + 4, "end", "%s %lld", integrityEventName(kind),
             static_cast<long long>(r.analysis.eventCounts[kind]));
    }
    for (int k = 0; k < kept; k++) {
        const IntegrityEvent &e = r.analysis.events[k];
        if (e.kind < 0 || e.kind >= EVENT_KINDS)
            continue;
        double x = xAt(f, e.timeUs / 1e6);
        double y = f.top + e.kind * lane;
        char cls[16];
        snprintf(cls, sizeof cls, "event k%d", e.kind);
        line(page, cls, x, y + 3, x, y + lane - 3);
    }
    box(page, f);
    text(page, (f.left + f.right) / 2, f.bottom + 32, "middle", "time since the start, s");
    end(page);
}

void svgTransparentBits(std::string *page, const IntegrityResults &r)
{
    int bits = r.bits < 1 ? 1 : r.bits > 32 ? 32 : r.bits;
    begin(page, 64, "The input's bits, most significant first: unchanged or not");
    double width = (WIDTH - 24.0) / bits;
    for (int k = 0; k < bits; k++) {
        int bit = bits - 1 - k;
        bool differed = (r.analysis.differingBits >> bit) & 1;
        rect(page, differed ? "bad" : "ok", 12 + k * width + 1, 8, width - 2, 28);
        if (bits <= 32 && (bit % 4 == 0 || bit == bits - 1))
            text(page, 12 + (k + 0.5) * width, 52, "middle", "%d", bit);
    }
    end(page);
}

// One core as a bar: the driver's own threads, the checker's callback and its other threads, each
// a segment in its share; the 25% and 90% marks of conform's check. A bar longer than one core (a
// driver with several busy threads) widens the scale.
void svgCoreShares(std::string *page, const CpuFigures &cpu)
{
    const double shares[] = {coreShare(cpu.driverMs, cpu), coreShare(cpu.callbackMs, cpu),
                             coreShare(cpu.checkerMs, cpu)};
    const char *classes[] = {"c3", "c0", "c7"};
    const char *names[] = {"driver", "callback", "checker"};
    double total = 0;
    for (double share : shares)
        total += share > 0 ? share : 0;
    Frame f = {64, 10, WIDTH - 12, 38, 0, total > 100 ? ceil(total / 50) * 50 : 100, 0, 1};
    begin(page, 74, "The processor time of the run against one core");
    double at = 0;
    for (int k = 0; k < 3; k++) {
        double share = shares[k] > 0 ? shares[k] : 0;
        rect(page, classes[k], xAt(f, at), f.top, xAt(f, at + share) - xAt(f, at), f.bottom - f.top);
        at += share;
        rect(page, classes[k], f.left + k * 150, 58, 10, 10);
        text(page, f.left + k * 150 + 14, 67, "start", "%s %.1f%%", names[k], share);
    }
    for (double mark : {25.0, 90.0}) {
        line(page, "late", xAt(f, mark), f.top - 4, xAt(f, mark), f.bottom + 4);
    }
    text(page, 6, 29, "start", "core");
    text(page, f.right, 52, "end", "%g%% of one core", f.xTo);
    box(page, f);
    end(page);
}

// The colour of a route's verdict: fine green, failed red, nothing expected grey.
static const char *verdictClass(int verdict)
{
    return verdict == ROUTE_FINE ? "ok" : routeFails(verdict) ? "bad" : "none";
}

// A route's square: its title names it, with its delay and its verdict.
static void routeCell(std::string *page, const RoutingResults &r, const RouteResult &route, double x,
                      double y, double size)
{
    char problem[160];
    routeProblem(r, route, problem, sizeof problem);
    appendFormat(page, "<rect class=\"%s\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\"><title>",
                 verdictClass(route.verdict), x, y, size, size);
    char label[240];
    snprintf(label, sizeof label, "output %d to input %ld: delay %lld frames, skew %+lld%s%s",
             route.found, route.input, static_cast<long long>(route.lockDelay),
             static_cast<long long>(route.skew), *problem ? "; " : "", problem);
    appendXmlText(page, label);
    *page += "</title></rect>\n";
    if (size >= 30)
        text(page, x + size / 2, y + size / 2 + 4, "middle", "%lld", static_cast<long long>(route.lockDelay));
}

void svgRoutingGrid(std::string *page, const RoutingResults &r)
{
    const int inputs = r.inputCount < 1 ? 1 : r.inputCount > MAX_ROUTE_CHANNELS ? MAX_ROUTE_CHANNELS : r.inputCount;
    const int outputs = r.outputCount < 1 ? 1 : r.outputCount > MAX_ROUTE_CHANNELS ? MAX_ROUTE_CHANNELS
                                                                                 : r.outputCount;
    const double left = 70, top = 30;
    const double size = fmin((WIDTH - left - 12) / inputs, 40.0);
    const int label = inputs <= 16 ? 1 : inputs <= 64 ? 8 : 16;  // every n-th channel named
    begin(page, static_cast<int>(top + size * outputs + 12), "Routes found: outputs against inputs");
    text(page, left + size * inputs / 2, 12, "middle", "input");
    for (int i = 0; i < inputs; i += label)
        text(page, left + (i + 0.5) * size, 26, "middle", "%ld", r.routes[i].input);
    for (int o = 0; o < outputs; o += label)
        text(page, left - 6, top + (o + 0.5) * size + 4, "end", "output %ld", r.outputs[o]);
    rect(page, "axis", left, top, size * inputs, size * outputs);
    for (int i = 0; i < inputs; i++) {
        const RouteResult &route = r.routes[i];
        for (int o = 0; o < outputs; o++) {
            const double x = left + i * size + 1, y = top + o * size + 1;
            if (route.found == r.outputs[o])
                routeCell(page, r, route, x, y, size - 2);
            else if (route.expected == r.outputs[o])
                rect(page, "mark", x, y, size - 2, size - 2);  // expected here, not found
        }
    }
    end(page);
}

void svgRouteSkew(std::string *page, const RoutingResults &r)
{
    const int inputs = r.inputCount < 1 ? 1 : r.inputCount > MAX_ROUTE_CHANNELS ? MAX_ROUTE_CHANNELS : r.inputCount;
    double most = r.maxSkew > 0 ? r.maxSkew : 1;
    for (int i = 0; i < inputs; i++)
        most = fmax(most, static_cast<double>(r.routes[i].skew));
    Frame f = {56, 12, WIDTH - 12, 172, 0, static_cast<double>(inputs), 0, most * 1.1};
    begin(page, 212, "The skew of every route against the earliest, frames");
    yTicks(page, f, niceStep(f.yTo, 5), 1, "%g");
    const double width = (f.right - f.left) / inputs;
    const int label = inputs <= 16 ? 1 : inputs <= 64 ? 8 : 16;
    for (int i = 0; i < inputs; i++) {
        const RouteResult &route = r.routes[i];
        if (i % label == 0)
            text(page, f.left + (i + 0.5) * width, f.bottom + 14, "middle", "%ld", route.input);
        if (route.found == NO_ROUTE)
            continue;
        const bool over = r.maxSkew >= 0 && route.skew > r.maxSkew;
        const double y = yAt(f, static_cast<double>(route.skew));
        rect(page, over ? "bar over" : "bar", f.left + i * width + 1, y, fmax(width - 2, 1), f.bottom - y);
    }
    if (r.maxSkew >= 0)
        line(page, "late", f.left, yAt(f, r.maxSkew), f.right, yAt(f, r.maxSkew));
    box(page, f);
    text(page, (f.left + f.right) / 2, f.bottom + 32, "middle", "input");
    end(page);
}
