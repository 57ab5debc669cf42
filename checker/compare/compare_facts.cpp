// What a document of the checker holds that compare can judge, as facts. Each family is found by
// its fields, whatever command wrote them (run, latency and integrity share the timing), and each
// field is taken only when it has the kind the checker writes: a value of another kind is absent,
// never read as a figure.
#include "checker/compare/compare.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

namespace {

// A key part from the document's own text (a check's id, a part's name): bounded, and without
// characters that would make the finding's name ambiguous or unprintable.
std::string keyPart(const std::string &text)
{
    std::string part;
    for (size_t i = 0; i < text.size() && part.size() < 80; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        part += c <= ' ' || c == 0x7F || c == '*' || c == '#' ? '_' : static_cast<char>(c);
    }
    return part.empty() ? "_" : part;
}

std::string numberText(double value)
{
    char text[48];
    snprintf(text, sizeof text, "%.10g", value);
    return text;
}

void addFact(std::vector<Fact> *facts, CompareRule rule, FactKind kind, const std::string &key,
             const JsonNode *value, const char *unit)
{
    Fact fact = {rule, kind, key, false, false, 0, std::string(), unit};
    if (value && value->kind == JSON_NUMBER && isfinite(value->number)) {
        fact.present = true;
        fact.isNumber = true;
        fact.number = value->number;
        fact.text = numberText(value->number);
    } else if (value && value->kind == JSON_TEXT) {
        fact.present = true;
        fact.text = value->text.substr(0, 200);
    } else if (value && value->kind == JSON_BOOL) {
        fact.present = true;
        fact.isNumber = true;
        fact.number = value->flag;
        fact.text = value->flag ? "yes" : "no";
    }
    facts->push_back(fact);
}

void addVerdict(std::vector<Fact> *facts, const std::string &key, const char *verdict)
{
    JsonNode text = {};
    text.kind = JSON_TEXT;
    text.text = verdict;
    addFact(facts, RULE_CHECK, FACT_VERDICT, key, &text, "");
}

// A member's figure under `key`, when the object has the member at all.
void addMember(std::vector<Fact> *facts, CompareRule rule, FactKind kind, const JsonNode *object,
               const char *member, const std::string &key, const char *unit)
{
    const JsonNode *value = jsonMember(object, member);
    if (value)
        addFact(facts, rule, kind, key, value, unit);
}

// ---- info's figures

void infoFigures(const JsonNode &root, std::vector<Fact> *facts)
{
    const JsonNode *sizes = jsonMemberOf(&root, "buffer_size", JSON_OBJECT);
    static const char *const sizeFields[] = {"min", "max", "preferred", "granularity"};
    for (const char *field : sizeFields)
        addMember(facts, RULE_FIGURE, FACT_EXACT, sizes, field, std::string("buffer_size.") + field, "frames");
    if (const JsonNode *rates = jsonMemberOf(&root, "sample_rates", JSON_ARRAY)) {
        for (const JsonNode &rate : rates->items) {
            const JsonNode *hz = jsonMemberOf(&rate, "rate", JSON_NUMBER);
            if (hz)
                addMember(facts, RULE_FIGURE, FACT_ACCEPTED, &rate, "accepted",
                          "rate_accepted." + numberText(hz->number), "");
        }
    }
    addMember(facts, RULE_FIGURE, FACT_EXACT, &root, "input_channels", "input_channels", "");
    addMember(facts, RULE_FIGURE, FACT_EXACT, &root, "output_channels", "output_channels", "");
    static const char *const directions[][2] = {{"inputs", "input."}, {"outputs", "output."}};
    for (const auto &direction : directions) {
        const JsonNode *channels = jsonMemberOf(&root, direction[0], JSON_ARRAY);
        if (!channels)
            continue;
        for (const JsonNode &channel : channels->items) {
            const JsonNode *number = jsonMemberOf(&channel, "channel", JSON_NUMBER);
            if (!number)
                continue;
            std::string key = direction[1] + numberText(number->number);
            addMember(facts, RULE_FIGURE, FACT_EXACT, &channel, "name", key + ".name", "");
            const JsonNode *typeName = jsonMemberOf(&channel, "type_name", JSON_TEXT);
            addFact(facts, RULE_FIGURE, FACT_EXACT, key + ".type",
                    typeName ? typeName : jsonMember(&channel, "type"), "");
            addMember(facts, RULE_FIGURE, FACT_EXACT, &channel, "group", key + ".group", "");
        }
    }
    const JsonNode *claim = jsonMemberOf(&root, "latency", JSON_OBJECT);
    addMember(facts, RULE_FIGURE, FACT_EXACT, claim, "input_frames", "input_latency", "frames");
    addMember(facts, RULE_FIGURE, FACT_EXACT, claim, "output_frames", "output_latency", "frames");
    if (const JsonNode *clocks = jsonMemberOf(&root, "clock_sources", JSON_ARRAY)) {
        JsonNode count = {};
        count.kind = JSON_NUMBER;
        count.number = static_cast<double>(clocks->items.size());
        addFact(facts, RULE_FIGURE, FACT_EXACT, "clock_sources", &count, "");
        for (const JsonNode &clock : clocks->items) {
            const JsonNode *index = jsonMemberOf(&clock, "index", JSON_NUMBER);
            if (index)
                addMember(facts, RULE_FIGURE, FACT_EXACT, &clock, "name",
                          "clock." + numberText(index->number) + ".name", "");
        }
    }
}

// ---- The settings a stream ran at, and its timing (run, latency, integrity)

void streamFigures(const JsonNode &root, std::vector<Fact> *facts)
{
    // info's buffer_size is an object of the driver's sizes; a stream's is the size it ran at.
    if (const JsonNode *size = jsonMemberOf(&root, "buffer_size", JSON_NUMBER))
        addFact(facts, RULE_FIGURE, FACT_EXACT, "buffer_size", size, "frames");
    addMember(facts, RULE_FIGURE, FACT_EXACT, &root, "sample_rate", "sample_rate", "Hz");
    const JsonNode *intervals = jsonMemberOf(&root, "intervals", JSON_OBJECT);
    if (!intervals)
        return;
    addMember(facts, RULE_TIMING, FACT_HIGHER_WORSE, intervals, "p99_us", "p99_us", "us");
    addMember(facts, RULE_TIMING, FACT_HIGHER_WORSE, intervals, "p99_9_us", "p99_9_us", "us");
    addMember(facts, RULE_TIMING, FACT_HIGHER_WORSE, intervals, "max_us", "max_us", "us");
    addMember(facts, RULE_TIMING, FACT_HIGHER_WORSE, jsonMemberOf(&root, "timeline", JSON_OBJECT),
              "max_late_us", "max_late_us", "us");
    addMember(facts, RULE_TIMING, FACT_HIGHER_WORSE, &root, "late_switches", "late_switches", "switches");
    addMember(facts, RULE_TIMING, FACT_RATIO, &root, "switch_ratio", "switch_ratio", "");
}

// run's cpu object, or conform's of its two streams.
void cpuFigures(const JsonNode &root, std::vector<Fact> *facts)
{
    const JsonNode *cpu = jsonMember(&root, "cpu");
    if (!cpu)
        return;
    if (cpu->kind == JSON_NULL || jsonMember(cpu, "driver_core_share")) {
        addFact(facts, RULE_CPU, FACT_HIGHER_WORSE, "driver_core_share",
                jsonMember(cpu, "driver_core_share"), "%");
        return;
    }
    for (const char *stream : {"stream", "time_info"}) {
        const JsonNode *part = jsonMember(cpu, stream);
        if (part)
            addFact(facts, RULE_CPU, FACT_HIGHER_WORSE, std::string(stream) + ".driver_core_share",
                    jsonMember(part, "driver_core_share"), "%");
    }
}

// ---- Verdicts: conform's checks, run's, gone's, the report's parts

void verdicts(const JsonNode &root, std::vector<Fact> *facts)
{
    if (const JsonNode *checks = jsonMemberOf(&root, "checks", JSON_ARRAY)) {
        for (const JsonNode &check : checks->items) {
            const JsonNode *id = jsonMemberOf(&check, "id", JSON_TEXT);
            const JsonNode *name = jsonMemberOf(&check, "check", JSON_TEXT);
            if (id) {
                addFact(facts, RULE_CHECK, FACT_VERDICT, keyPart(id->text), jsonMember(&check, "verdict"), "");
            } else if (name) {
                const JsonNode *passed = jsonMemberOf(&check, "passed", JSON_BOOL);
                if (passed)
                    addVerdict(facts, "run." + keyPart(name->text), passed->flag ? "PASS" : "FAIL");
                else
                    addFact(facts, RULE_CHECK, FACT_VERDICT, "run." + keyPart(name->text), nullptr, "");
            }
        }
    }
    static const char *const lists[][3] = {{"verdicts", "id", "gone."}, {"parts", "part", "report."}};
    for (const auto &list : lists) {
        const JsonNode *items = jsonMemberOf(&root, list[0], JSON_ARRAY);
        if (!items)
            continue;
        for (const JsonNode &item : items->items) {
            const JsonNode *id = jsonMemberOf(&item, list[1], JSON_TEXT);
            if (id)
                addFact(facts, RULE_CHECK, FACT_VERDICT, list[2] + keyPart(id->text),
                        jsonMember(&item, "verdict"), "");
        }
    }
}

// ---- latency: the round trip, the claim, the sweep's settings

void latencyFigures(const JsonNode &root, std::vector<Fact> *facts)
{
    if (const JsonNode *roundTrip = jsonMember(&root, "round_trip")) {
        addFact(facts, RULE_LATENCY, FACT_FRAMES, "round_trip", jsonMember(roundTrip, "median_frames"),
                "frames");
        addMember(facts, RULE_LATENCY, FACT_CLAIM, &root, "difference_frames", "claim_error", "frames");
        const JsonNode *claim = jsonMemberOf(&root, "reported_after", JSON_OBJECT);
        if (!claim)
            claim = jsonMemberOf(&root, "reported", JSON_OBJECT);
        addMember(facts, RULE_FIGURE, FACT_EXACT, claim, "input_frames", "input_latency", "frames");
        addMember(facts, RULE_FIGURE, FACT_EXACT, claim, "output_frames", "output_latency", "frames");
    }
    if (const JsonNode *pings = jsonMemberOf(&root, "pings", JSON_ARRAY)) {
        JsonNode lost = {};
        lost.kind = JSON_NUMBER;
        for (const JsonNode &ping : pings->items) {
            const JsonNode *flag = jsonMemberOf(&ping, "lost", JSON_BOOL);
            lost.number += flag && flag->flag;
        }
        addFact(facts, RULE_LATENCY, FACT_WRONG_COUNT, "pings_lost", &lost, "pings");
    }
    const JsonNode *settings = jsonMemberOf(&root, "settings", JSON_ARRAY);
    if (!settings)
        return;
    for (const JsonNode &setting : settings->items) {
        const JsonNode *rate = jsonMemberOf(&setting, "rate", JSON_NUMBER);
        const JsonNode *size = jsonMemberOf(&setting, "buffer_size", JSON_NUMBER);
        if (!rate || !size)
            continue;
        std::string at = "." + numberText(rate->number) + "." + numberText(size->number);
        const JsonNode *whole = jsonMemberOf(&setting, "measured_whole", JSON_BOOL);
        const JsonNode *within = jsonMemberOf(&setting, "within_tolerance", JSON_BOOL);
        addVerdict(facts, "sweep" + at, whole && whole->flag && !(within && !within->flag) ? "PASS" : "FAIL");
        addMember(facts, RULE_LATENCY, FACT_FRAMES, &setting, "measured_frames", "round_trip" + at, "frames");
        addMember(facts, RULE_LATENCY, FACT_CLAIM, &setting, "difference_frames", "claim_error" + at, "frames");
        addMember(facts, RULE_FIGURE, FACT_EXACT, &setting, "reported_input_frames", "input_latency" + at, "frames");
        addMember(facts, RULE_FIGURE, FACT_EXACT, &setting, "reported_output_frames", "output_latency" + at, "frames");
    }
}

// ---- integrity: the counts of wrong samples, of one cable or of every route

const char *const wrongCounts[] = {"corrupted", "inverted", "scaled", "foreign", "dropped",
                                   "repeated", "slipped", "missing"};

void countsOf(const JsonNode *counts, const std::string &prefix, std::vector<Fact> *facts)
{
    for (const char *count : wrongCounts)
        addFact(facts, RULE_INTEGRITY, FACT_WRONG_COUNT, prefix + count, jsonMember(counts, count), "samples");
}

void integrityFigures(const JsonNode &root, std::vector<Fact> *facts)
{
    if (const JsonNode *counts = jsonMemberOf(&root, "counts", JSON_OBJECT)) {
        // conform's "counts" are its verdicts', not samples.
        if (jsonMember(counts, "received")) {
            countsOf(counts, "", facts);
            const JsonNode *locked = jsonMemberOf(&root, "locked", JSON_BOOL);
            addVerdict(facts, "integrity.locked", locked && locked->flag ? "PASS" : "FAIL");
            addMember(facts, RULE_LATENCY, FACT_FRAMES, &root, "delay_frames", "cable_delay", "frames");
            addMember(facts, RULE_FIGURE, FACT_EXACT, &root, "transparent_bits", "transparent_bits", "bits");
        }
    }
    const JsonNode *routes = jsonMemberOf(&root, "routes", JSON_ARRAY);
    if (!routes)
        return;
    for (const JsonNode &route : routes->items) {
        const JsonNode *input = jsonMemberOf(&route, "input", JSON_NUMBER);
        if (!input)
            continue;
        std::string key = "route." + numberText(input->number);
        addFact(facts, RULE_CHECK, FACT_VERDICT, key, jsonMember(&route, "verdict"), "");
        countsOf(jsonMemberOf(&route, "counts", JSON_OBJECT), key + ".", facts);
        addMember(facts, RULE_LATENCY, FACT_FRAMES, &route, "delay_frames", key + ".delay", "frames");
    }
    addMember(facts, RULE_LATENCY, FACT_FRAMES, jsonMemberOf(&root, "skew", JSON_OBJECT),
              "spread_frames", "route_skew", "frames");
}

}  // namespace

bool readCompareDocument(const JsonNode &root, CompareDocument *document, std::string *error)
{
    const JsonNode *program = jsonMemberOf(&root, "program", JSON_TEXT);
    const JsonNode *command = jsonMemberOf(&root, "command", JSON_TEXT);
    if (root.kind != JSON_OBJECT || !program || program->text != "quorvelcheck") {
        *error = "is no document of quorvelcheck (it has no \"program\": \"quorvelcheck\")";
        return false;
    }
    if (!command) {
        *error = "names no command (a document of --version, which holds nothing to compare)";
        return false;
    }
    // Their findings are laid out otherwise: read as others', their verdicts would be lost.
    if (command->text == "soak" || command->text == "cycles") {
        *error = "compare does not read " + command->text + " documents yet";
        return false;
    }
    document->command = keyPart(command->text);
    const JsonNode *sweep = jsonMemberOf(&root, "sweep", JSON_BOOL);
    document->shape = sweep && sweep->flag ? " --sweep" : jsonMemberOf(&root, "routes", JSON_ARRAY) ? " --all" : "";
    const JsonNode *driver = jsonMemberOf(&root, "driver", JSON_OBJECT);
    const JsonNode *name = jsonMemberOf(driver, "driver_name", JSON_TEXT);
    const JsonNode *listed = jsonMemberOf(driver, "name", JSON_TEXT);
    const JsonNode *version = jsonMember(driver, "driver_version");
    document->driverName = name ? name->text.substr(0, 200) : "";
    document->registryName = listed ? listed->text.substr(0, 200) : "";
    document->driverVersion = version && version->kind == JSON_NUMBER ? numberText(version->number)
                            : version && version->kind == JSON_TEXT ? version->text.substr(0, 64) : "";
    document->facts.clear();
    addMember(&document->facts, RULE_STATUS, FACT_EXIT, &root, "exit_code", "exit_code", "");
    verdicts(root, &document->facts);
    infoFigures(root, &document->facts);
    streamFigures(root, &document->facts);
    cpuFigures(root, &document->facts);
    latencyFigures(root, &document->facts);
    integrityFigures(root, &document->facts);
    return true;
}

const char *compareRuleName(int rule)
{
    static const char *const names[RULE_COUNT] = {"status", "check", "figure", "latency", "timing",
                                                  "cpu", "integrity"};
    return rule >= 0 && rule < RULE_COUNT ? names[rule] : "";
}
