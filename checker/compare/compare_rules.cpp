// The rules: each fact of the base against the same fact of the new documents. A fact one side has
// and the other lacks is named; with several documents a side, a noisy figure's margin is the
// spread of the two sides, so that the run-to-run noise of one machine is never a regression.
#include "checker/compare/compare.h"

#include <algorithm>
#include <map>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// One fact across the documents of both sides: each document's fact, null where it has none.
struct Entry {
    const Fact *first;
    std::vector<const Fact *> base, now;
};

// A side's present values.
struct Side {
    int files, present;
    std::vector<double> numbers;
    std::vector<std::string> texts;  // distinct, in the order met
};

Side sideOf(const std::vector<const Fact *> &facts)
{
    Side side = {static_cast<int>(facts.size()), 0, {}, {}};
    for (const Fact *fact : facts) {
        if (!fact || !fact->present)
            continue;
        side.present++;
        if (fact->isNumber)
            side.numbers.push_back(fact->number);
        if (std::find(side.texts.begin(), side.texts.end(), fact->text) == side.texts.end())
            side.texts.push_back(fact->text);
    }
    return side;
}

double lowest(const Side &s) { return *std::min_element(s.numbers.begin(), s.numbers.end()); }
double highest(const Side &s) { return *std::max_element(s.numbers.begin(), s.numbers.end()); }
double middle(const Side &s)
{
    std::vector<double> sorted = s.numbers;
    std::sort(sorted.begin(), sorted.end());
    return sorted[sorted.size() / 2];
}

// Four figures, and no exponent for the large numbers of microseconds.
std::string number(double value, const char *unit)
{
    char text[64];
    snprintf(text, sizeof text, fabs(value) >= 1000 && fabs(value) < 1e15 ? "%.0f%s%s" : "%.4g%s%s", value,
             *unit ? " " : "", unit);
    return text;
}

// A side's value as shown: "absent", "PASS", "256 frames", "3050 to 3210 us", "A / B".
std::string shown(const Side &s, const Fact &fact)
{
    if (s.present == 0)
        return "absent";
    std::string text;
    if (fact.isNumber && fact.kind != FACT_ACCEPTED && s.numbers.size() == static_cast<size_t>(s.present) &&
        s.texts.size() > 1) {
        text = number(lowest(s), "") + " to " + number(highest(s), fact.unit);
    } else {
        for (size_t k = 0; k < s.texts.size(); k++)
            text += (k ? " / " : "") + s.texts[k];
        if (fact.isNumber && *fact.unit && fact.kind != FACT_ACCEPTED)
            text += std::string(" ") + fact.unit;
    }
    if (s.present < s.files) {
        char more[48];
        snprintf(more, sizeof more, " (absent in %d of %d)", s.files - s.present, s.files);
        text += more;
    }
    return text;
}

// ---- The noisy figures' margins, stated in the documentation: with one document a side, the new
// value is worse when over three times the base and beyond it by the unit's floor, for one run's
// longest interval on a loaded machine can double between identical runs; with several, when
// every new value is beyond every base value by the two sides' spreads together, at least a tenth
// of the base's middle value and a smaller floor.

double fixedFloor(const char *unit)
{
    return strcmp(unit, "us") == 0 ? 1000 : strcmp(unit, "%") == 0 ? 5
         : strcmp(unit, "switches") == 0 ? 5 : 0.02;
}

double spreadFloor(const char *unit)
{
    return strcmp(unit, "us") == 0 ? 100 : strcmp(unit, "%") == 0 ? 1
         : strcmp(unit, "switches") == 0 ? 2 : 0.005;
}

double margin(const Side &base, const Side &now, const char *unit)
{
    bool ratio = *unit == '\0';  // the switch ratio: the floor alone, its value is about 1
    if (base.numbers.size() == 1 && now.numbers.size() == 1)
        return ratio ? fixedFloor(unit) : std::max(fabs(base.numbers[0]) * 2, fixedFloor(unit));
    double spread = (highest(base) - lowest(base)) + (highest(now) - lowest(now));
    double floor = ratio ? spreadFloor(unit) : std::max(fabs(middle(base)) * 0.1, spreadFloor(unit));
    return std::max(spread, floor);
}

Side negated(Side s)
{
    for (double &v : s.numbers)
        v = -v;
    return s;
}

// Each value's distance from 1.
Side fromOne(Side s)
{
    for (double &v : s.numbers)
        v = fabs(v - 1);
    return s;
}

Side absolute(Side s)
{
    for (double &v : s.numbers)
        v = fabs(v);
    return s;
}

// The verdict's place: PASS 0, WARN 1, FAIL 2, not run 3, skipped 4; -1 for a text it does not
// know. A route's "fine" (and "nothing expected") pass, its other verdicts fail.
int verdictRank(const std::string &v)
{
    if (v == "PASS" || v == "fine" || v == "nothing expected")
        return 0;
    if (v == "WARN")
        return 1;
    if (v == "FAIL" || v == "faulty" || v == "missing" || v == "wrong" || v == "unexpected")
        return 2;
    if (v == "not run")
        return 3;
    if (v == "skipped")
        return 4;
    return -1;
}

// An exit status's place as the driver's doing: 0, 1, 3, 4 in that order; -1 for 2, 5 and 6 (the
// user's, an interruption, the checker's own shortfall), which are never the driver's.
int exitRank(double code)
{
    return code == 0 ? 0 : code == 1 ? 1 : code == 3 ? 2 : code == 4 ? 3 : -1;
}

int worstRank(const Side &s, bool exits)
{
    int worst = 0;
    for (const std::string &text : s.texts) {
        int rank = exits ? exitRank(atof(text.c_str())) : verdictRank(text);
        if (rank < 0)
            return -1;
        worst = std::max(worst, rank);
    }
    return worst;
}

struct Judgement {
    bool found;
    FindingKind kind;
    std::string why;
};

Judgement finding(FindingKind kind, const std::string &why) { return {true, kind, why}; }
const Judgement same = {false, FINDING_CHANGE, ""};

Judgement judgeRanks(const Side &b, const Side &n, bool exits)
{
    if (b.texts == n.texts)
        return same;
    int rb = worstRank(b, exits), rn = worstRank(n, exits);
    if (exits && (rb < 0 || rn < 0))
        return finding(FINDING_CHANGE, "A status of 2, 5 or 6 is the user's, an interruption or the "
                                       "checker's own shortfall: the driver is not judged by it.");
    if (exits)
        return rn > rb ? finding(FINDING_REGRESSION, "The command ends worse than before.")
             : rn < rb ? finding(FINDING_IMPROVEMENT, "The command ends better than before.") : same;
    if (rb < 0 || rn < 0)
        return finding(FINDING_CHANGE, "A verdict compare does not know changed.");
    // A warning or a failure where the base judged nothing is never excused by the base's gap.
    if (rb >= 3 && (rn == 1 || rn == 2))
        return finding(FINDING_REGRESSION, rb == 4 ? "Skipped before, warns or fails now."
                                                   : "Not run before, warns or fails now.");
    if (rb == 4 || rn == 4)
        return rb == rn ? same : finding(FINDING_CHANGE, "Skipped on one side: not compared.");
    if (rb <= 2 && rn == 3)
        return finding(FINDING_REGRESSION, "Judged before, not run now.");
    if (rb == 3)
        return rn == 0 ? finding(FINDING_IMPROVEMENT, "Not run before, passes now.") : same;
    return rn > rb ? finding(FINDING_REGRESSION, "The verdict got worse.")
         : rn < rb ? finding(FINDING_IMPROVEMENT, "The verdict got better.") : same;
}

Judgement judgeNoisy(const Side &b, const Side &n, const char *unit, bool lowerWorse)
{
    Side base = lowerWorse ? negated(b) : b, now = lowerWorse ? negated(n) : n;
    double m = margin(b, n, unit);
    char why[200];
    if (lowest(now) > highest(base) + m) {
        snprintf(why, sizeof why, "Worse beyond the margin of %s.", number(m, unit).c_str());
        return finding(FINDING_REGRESSION, why);
    }
    if (highest(now) < lowest(base) - m) {
        snprintf(why, sizeof why, "Better beyond the margin of %s.", number(m, unit).c_str());
        return finding(FINDING_IMPROVEMENT, why);
    }
    return same;
}

// A latency: longer by more than a frame is worse, shorter by more than one better, documents
// that overlap but differ by more than one within a side's spread only a change.
Judgement judgeFrames(const Side &b, const Side &n, const char *longer, const char *shorter)
{
    if (lowest(n) > highest(b) + 1)
        return finding(FINDING_REGRESSION, longer);
    if (highest(n) < lowest(b) - 1)
        return finding(FINDING_IMPROVEMENT, shorter);
    if (highest(n) > lowest(b) + 1 || lowest(n) < highest(b) - 1)
        return finding(FINDING_CHANGE, "Apart by more than a frame between some documents.");
    return same;
}

Judgement judge(const Fact &fact, const Side &b, const Side &n)
{
    switch (fact.kind) {
    case FACT_EXIT:
        return judgeRanks(b, n, true);
    case FACT_VERDICT:
        return judgeRanks(b, n, false);
    case FACT_EXACT:
        if (b.texts == n.texts)
            return same;
        return b.texts.size() == 1 ? finding(FINDING_REGRESSION, "The figure changed.")
                                   : finding(FINDING_CHANGE, "The figure varies between the base documents.");
    case FACT_ACCEPTED: {
        if (b.texts == n.texts)
            return same;
        bool yesOrNo = (b.texts[0] == "yes" || b.texts[0] == "no") && (n.texts[0] == "yes" || n.texts[0] == "no");
        if (b.texts.size() == 1 && n.texts.size() == 1 && yesOrNo)
            return b.texts[0] == "yes" ? finding(FINDING_REGRESSION, "The rate is no longer accepted.")
                                       : finding(FINDING_IMPROVEMENT, "The rate is accepted now.");
        return finding(FINDING_CHANGE, "Accepted in some documents and not in others.");
    }
    case FACT_FRAMES:
        return judgeFrames(b, n, "Longer by more than a frame.", "Shorter by more than a frame.");
    case FACT_CLAIM:
        return judgeFrames(absolute(b), absolute(n), "The claim is further from the measured latency "
                           "by more than a frame.", "The claim is nearer the measured latency by more "
                           "than a frame.");
    case FACT_HIGHER_WORSE:
        return judgeNoisy(b, n, fact.unit, false);
    case FACT_LOWER_WORSE:
        return judgeNoisy(b, n, fact.unit, true);
    case FACT_WRONG_COUNT: {
        // Each side's worst document: any growth is a regression, for every count lost is a fault.
        double wb = highest(b), wn = highest(n);
        if (wn > wb)
            return finding(FINDING_REGRESSION, wb == 0 ? "Wrong now where none was wrong before."
                                                       : "More wrong than before.");
        if (wn < wb)
            return finding(FINDING_IMPROVEMENT, wn == 0 ? "None wrong now." : "Fewer wrong than before.");
        return same;
    }
    case FACT_RATIO:
        // Switches per period: too many are as wrong as too few.
        return judgeNoisy(fromOne(b), fromOne(n), fact.unit, false);
    }
    return same;
}

Judgement judgePresence(const Fact &fact, const Side &b, const Side &n, bool *compared)
{
    *compared = b.present > 0 || n.present > 0;
    if (b.present > 0 && n.present == 0)
        return finding(FINDING_REGRESSION, "In the base, absent in the new documents.");
    if (b.present == b.files && n.present < n.files)
        return finding(FINDING_REGRESSION, "In every base document, absent in some new ones.");
    // A new check that warns or fails, or a status that missed, is the new build's to answer for.
    bool bad = fact.kind == FACT_VERDICT ? worstRank(n, false) == 1 || worstRank(n, false) == 2
             : fact.kind == FACT_EXIT && worstRank(n, true) > 0;
    if (b.present == 0 && n.present > 0 && bad)
        return finding(FINDING_REGRESSION, "Absent in the base, warns or fails in the new documents.");
    if (b.present == 0 && n.present > 0)
        return finding(FINDING_CHANGE, "Absent in the base, present in the new documents.");
    return same;
}

// The numeric rules take a side only when every value it has is a number: a text where a number
// belongs is compared as a figure that changed.
bool numbersOnly(const Fact &fact, const Side &b, const Side &n)
{
    bool numericKind = fact.kind == FACT_FRAMES || fact.kind == FACT_CLAIM || fact.kind == FACT_WRONG_COUNT ||
                       fact.kind == FACT_HIGHER_WORSE || fact.kind == FACT_LOWER_WORSE ||
                       fact.kind == FACT_RATIO;
    return !numericKind || (b.numbers.size() == static_cast<size_t>(b.present) &&
                            n.numbers.size() == static_cast<size_t>(n.present));
}

}  // namespace

void compareSides(const std::vector<CompareDocument> &base, const std::vector<CompareDocument> &now,
                  Comparison *c)
{
    *c = Comparison();
    std::vector<Entry> entries;
    std::map<std::string, size_t> byName;
    const std::vector<CompareDocument> *sides[2] = {&base, &now};
    for (int side = 0; side < 2; side++) {
        const std::vector<CompareDocument> &documents = *sides[side];
        for (size_t d = 0; d < documents.size(); d++) {
            for (const Fact &fact : documents[d].facts) {
                std::string name = std::string(compareRuleName(fact.rule)) + "." + fact.key;
                auto found = byName.find(name);
                if (found == byName.end()) {
                    found = byName.emplace(name, entries.size()).first;
                    entries.push_back({&fact, std::vector<const Fact *>(base.size()),
                                       std::vector<const Fact *>(now.size())});
                }
                Entry &entry = entries[found->second];
                std::vector<const Fact *> &slots = side == 0 ? entry.base : entry.now;
                // A key met twice in one document: its first stands.
                if (!slots[d])
                    slots[d] = &fact;
            }
        }
    }
    std::vector<Finding> findings[3];
    for (const Entry &entry : entries) {
        const Fact &fact = *entry.first;
        Side b = sideOf(entry.base), n = sideOf(entry.now);
        bool named = false;
        Judgement j = judgePresence(fact, b, n, &named);
        if (!named)
            continue;
        // Compared is what both sides have: a figure of one side only is named, never judged.
        if (b.present > 0 && n.present > 0) {
            c->counts[fact.rule].compared++;
            if (fact.rule != RULE_STATUS)
                c->compared++;
        }
        if (!j.found && b.present > 0 && n.present > 0) {
            if (numbersOnly(fact, b, n))
                j = judge(fact, b, n);
            else
                j = b.texts == n.texts ? same : finding(FINDING_REGRESSION, "The figure changed.");
        }
        if (!j.found)
            continue;
        Finding f = {fact.rule, j.kind, fact.key, shown(b, fact), shown(n, fact), j.why, false, ""};
        findings[j.kind].push_back(f);
    }
    // A status that got worse stands on its own, waived only by its own name: the regressions
    // beside it need not be what made it worse.
    for (int kind = 0; kind < 3; kind++) {
        for (const Finding &f : findings[kind]) {
            c->findings.push_back(f);
            RuleCounts &counts = c->counts[f.rule];
            if (kind == FINDING_REGRESSION)
                counts.regressions++, c->regressions++;
            else if (kind == FINDING_IMPROVEMENT)
                counts.improvements++, c->improvements++;
            else
                counts.changes++, c->changes++;
        }
    }
    c->command = base.empty() ? "" : base[0].command + base[0].shape;
    // The first document that names its driver: a document of a failure may name none.
    for (const std::vector<CompareDocument> *side : sides) {
        for (const CompareDocument &d : *side) {
            if (c->driverName.empty())
                c->driverName = !d.driverName.empty() ? d.driverName : d.registryName;
        }
    }
    c->baseVersion = base.empty() ? "" : base[0].driverVersion;
    c->newVersion = now.empty() ? "" : now[0].driverVersion;
    for (const CompareDocument &d : base)
        c->baseFiles.push_back(d.path);
    for (const CompareDocument &d : now)
        c->newFiles.push_back(d.path);
}

std::string findingName(const Finding &finding)
{
    return std::string(compareRuleName(finding.rule)) + "." + finding.key;
}
