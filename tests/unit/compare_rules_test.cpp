// compare's reader and rules without a process: each rule's edges set against a document written
// here, a fact each, the reader against texts no document of the checker holds.
#include "checker/compare/compare.h"

#include <gtest/gtest.h>
#include <string.h>
#include <string>
#include <vector>

namespace {

CompareDocument documentOf(const std::string &body)
{
    std::string text = "{\"program\": \"quorvelcheck\", \"command\": \"x\", " + body + "}";
    JsonNode root;
    std::string error;
    CompareDocument d;
    EXPECT_TRUE(parseJsonDocument(text.data(), text.size(), &root, &error)) << error << "\n" << text;
    EXPECT_TRUE(readCompareDocument(root, &d, &error)) << error;
    return d;
}

// The one finding of base against now, as "kind name", or "" for none.
std::string judged(const std::vector<std::string> &base, const std::vector<std::string> &now)
{
    std::vector<CompareDocument> b, n;
    for (const std::string &body : base)
        b.push_back(documentOf(body));
    for (const std::string &body : now)
        n.push_back(documentOf(body));
    Comparison c;
    compareSides(b, n, &c);
    static const char *const kinds[] = {"regression", "improvement", "change"};
    std::string found;
    for (const Finding &f : c.findings)
        found += std::string(found.empty() ? "" : "; ") + kinds[f.kind] + " " + findingName(f);
    return found;
}

std::string check(const char *verdict)
{
    return std::string("\"checks\": [{\"id\": \"a.b\", \"verdict\": \"") + verdict + "\"}]";
}

std::string timing(double p99, double share)
{
    return "\"intervals\": {\"p99_us\": " + std::to_string(p99) + "}, \"cpu\": {\"driver_core_share\": " +
           std::to_string(share) + "}";
}

// Read only beside the timing's intervals, as a stream's document has them.
std::string ratio(const char *value)
{
    return std::string("\"intervals\": {}, \"switch_ratio\": ") + value;
}

TEST(CompareRulesTest, EachRuleFindsWhatItIsForAndNothingWithinItsMargin)
{
    struct Row {
        std::vector<std::string> base, now;
        const char *expected;
    } rows[] = {
        {{check("PASS")}, {check("WARN")}, "regression check.a.b"},
        {{check("WARN")}, {check("FAIL")}, "regression check.a.b"},
        {{check("PASS")}, {check("not run")}, "regression check.a.b"},
        {{check("not run")}, {check("FAIL")}, "regression check.a.b"},
        {{check("not run")}, {check("WARN")}, "regression check.a.b"},
        {{check("skipped")}, {check("FAIL")}, "regression check.a.b"},
        {{check("skipped")}, {check("WARN")}, "regression check.a.b"},
        {{"\"checks\": []"}, {check("FAIL")}, "regression check.a.b"},
        {{"\"checks\": []"}, {check("PASS")}, "change check.a.b"},
        {{check("PASS")}, {check("skipped")}, "change check.a.b"},
        {{check("FAIL")}, {check("PASS")}, "improvement check.a.b"},
        {{check("PASS"), check("WARN")}, {check("WARN")}, ""},  // a side's worst
        {{check("PASS")}, {"\"checks\": []"}, "regression check.a.b"},
        {{"\"checks\": [{\"check\": \"max_late\", \"passed\": true}]"},
         {"\"checks\": [{\"check\": \"max_late\", \"passed\": false}]"}, "regression check.run.max_late"},
        {{"\"verdicts\": [{\"id\": \"back\", \"verdict\": \"PASS\"}]"},
         {"\"verdicts\": [{\"id\": \"back\", \"verdict\": \"FAIL\"}]"}, "regression check.gone.back"},
        {{"\"parts\": [{\"part\": \"run\", \"verdict\": \"FAIL\"}]"},
         {"\"parts\": [{\"part\": \"run\", \"verdict\": \"PASS\"}]"}, "improvement check.report.run"},
        {{"\"routes\": [{\"input\": 3, \"verdict\": \"fine\"}]"},
         {"\"routes\": [{\"input\": 3, \"verdict\": \"missing\"}]"}, "regression check.route.3"},
        {{"\"input_channels\": 2"}, {"\"input_channels\": 4"}, "regression figure.input_channels"},
        {{"\"input_channels\": 2"}, {"\"input_channels\": \"two\""}, "regression figure.input_channels"},
        {{"\"sample_rates\": [{\"rate\": 96000, \"accepted\": true}]"},
         {"\"sample_rates\": [{\"rate\": 96000, \"accepted\": false}]"}, "regression figure.rate_accepted.96000"},
        {{"\"sample_rates\": [{\"rate\": 96000, \"accepted\": false}]"},
         {"\"sample_rates\": [{\"rate\": 96000, \"accepted\": true}]"}, "improvement figure.rate_accepted.96000"},
        {{"\"round_trip\": {\"median_frames\": 300}"}, {"\"round_trip\": {\"median_frames\": 301}"}, ""},
        {{"\"round_trip\": {\"median_frames\": 300}"}, {"\"round_trip\": {\"median_frames\": 301.5}"},
         "regression latency.round_trip"},
        {{"\"round_trip\": {\"median_frames\": 300}"}, {"\"round_trip\": null"}, "regression latency.round_trip"},
        {{"\"round_trip\": null, \"difference_frames\": -10"}, {"\"round_trip\": null, \"difference_frames\": 5"},
         "improvement latency.claim_error"},
        // One file a side: over three times the base, and 1 ms or 5 points beyond it.
        {{timing(3000, 2)}, {timing(8900, 6.9)}, ""},
        {{timing(3000, 2)}, {timing(9100, 7.1)}, "regression timing.p99_us; regression cpu.driver_core_share"},
        // Several: every new value beyond every base value by both spreads together.
        {{timing(3000, 2), timing(3400, 2.5)}, {timing(3700, 2.6), timing(4200, 3)}, ""},
        {{timing(3000, 2), timing(3400, 2.5)}, {timing(4200, 4), timing(4400, 4.2)},
         "regression timing.p99_us; regression cpu.driver_core_share"},
        {{"\"counts\": {\"received\": 10, \"dropped\": 0}"}, {"\"counts\": {\"received\": 10, \"dropped\": 2}"},
         "regression integrity.dropped"},
        {{"\"counts\": {\"received\": 10, \"dropped\": 4}"}, {"\"counts\": {\"received\": 10, \"dropped\": 2}"},
         "improvement integrity.dropped"},
        {{"\"counts\": {\"received\": 10, \"dropped\": 2}"}, {"\"counts\": {\"received\": 10, \"dropped\": 4}"},
         "regression integrity.dropped"},
        {{"\"pings\": [{\"lost\": true}]"}, {"\"pings\": [{\"lost\": true}, {\"lost\": true}]"},
         "regression latency.pings_lost"},
        // The switch ratio: its distance from 1, either way.
        {{ratio("1.0")}, {ratio("2.0")}, "regression timing.switch_ratio"},
        {{ratio("1.0")}, {ratio("0.5")}, "regression timing.switch_ratio"},
        {{ratio("1.3")}, {ratio("1.0")}, "improvement timing.switch_ratio"},
        {{ratio("1.0")}, {ratio("1.01")}, ""},
        {{"\"exit_code\": 0"}, {"\"exit_code\": 4"}, "regression status.exit_code"},
        {{"\"exit_code\": 0"}, {"\"exit_code\": 6"}, "change status.exit_code"},
        {{"\"exit_code\": 0"}, {"\"exit_code\": 1"}, "regression status.exit_code"},
        {{"\"input_channels\": 2"}, {"\"exit_code\": 1, \"input_channels\": 2"}, "regression status.exit_code"},
        // A status that got worse stays a regression beside others: they need not be what missed.
        {{check("skipped") + ", \"exit_code\": 0, \"input_channels\": 2"},
         {check("FAIL") + ", \"exit_code\": 1, \"input_channels\": 4"},
         "regression status.exit_code; regression check.a.b; regression figure.input_channels"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.base[0] + " -> " + row.now[0]);
        EXPECT_EQ(judged(row.base, row.now), row.expected);
    }
}

TEST(CompareRulesTest, WaiversMatchANameOrItsBeginningAndStaleOnesAreNamed)
{
    Comparison c;
    compareSides({documentOf(check("PASS") + ", \"input_channels\": 2")},
                 {documentOf(check("FAIL") + ", \"input_channels\": 3")}, &c);
    ASSERT_EQ(c.regressions, 2);
    std::vector<Waiver> waivers = {{"check.a.*", "known", 1, false}, {"figure.output_latency", "", 2, false}};
    applyWaivers(&waivers, &c);
    EXPECT_EQ(c.waivedRegressions, 1);
    EXPECT_TRUE(c.findings[0].waived);
    EXPECT_FALSE(c.findings[1].waived);
    EXPECT_EQ(c.unusedWaivers, std::vector<std::string>{"line 2: figure.output_latency"});
}

TEST(CompareReaderTest, TextsNoDocumentHoldsAreRefusedWithWhereOrReadSafely)
{
    struct Row {
        const char *text;
        const char *error;  // null: read
    } rows[] = {
        {"01", "line 1, column 2: more text after the document"},
        {"[1.]", "a digit was expected after the decimal point"},
        {"[-]", "a value was expected"},
        {"[inf]", "a value was expected"},
        {"[NaN]", "a value was expected"},
        {"{\"a\" 1}", "':' was expected after a key"},
        {"\"\\x\"", "an unknown escape in a text"},
        {"\"\\u12\"", "\\u without four hex digits"},
        {"\"a\nb\"", "a control character inside a text"},
        {"\"open", "a text that does not end"},
        {"", "the text ends where a value was expected"},
        {"\"\xff\xfe\"", "a text that is no valid UTF-8"},
        {"\"\xE0\x80\x80\"", "a text that is no valid UTF-8"},      // overlong
        {"\"\xED\xA0\x80\"", "a text that is no valid UTF-8"},      // a surrogate
        {"\"\xF4\x90\x80\x80\"", "a text that is no valid UTF-8"},  // past U+10FFFF
        {"[1e999, \"\\ud83d\\ude00\", \"\\udc00\", \"\\u001b[31m\\b\\r\\u0009\\n\xC2\x9B\x7F\xC3\xA9\"]", nullptr},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.text);
        JsonNode root;
        std::string error;
        bool read = parseJsonDocument(row.text, strlen(row.text), &root, &error);
        EXPECT_EQ(read, row.error == nullptr) << error;
        if (row.error) {
            EXPECT_NE(error.find(row.error), std::string::npos) << error;
            continue;
        }
        EXPECT_EQ(root.items[1].text, "\xF0\x9F\x98\x80");  // the pair made one character
        EXPECT_EQ(root.items[2].text, "?");                  // half of one
        EXPECT_EQ(root.items[3].text, "?[31m??\t\n??\xC3\xA9");  // control characters shown as '?'
    }
    // A number too large to be a figure is read, and is no figure.
    CompareDocument d = documentOf("\"input_channels\": 1e999");
    ASSERT_EQ(d.facts.size(), 1u);
    EXPECT_FALSE(d.facts[0].present);
}

}  // namespace
