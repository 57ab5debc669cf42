// quorvelcheck compare on the checker's own documents: the same simulated device before and after
// one knob changed must differ by exactly that, a device set against itself by nothing, and files
// a user could hand it (of other commands, broken, empty of figures, waived) are judged as said.
#include "tests/checker/checker_process.h"
#include "tests/support/json_reader.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/testkit.h"
#include "tests/support/text_search.h"
#include "tests/support/xml_reader.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <stdio.h>
#include <string>
#include <vector>

namespace {

class CompareTest : public SimProgramTest {
protected:
    static std::string write(const char *name, const std::string &text)
    {
        std::string path = buildFilePath(name);
        FILE *file = fopen(path.c_str(), "wb");
        EXPECT_TRUE(file) << path;
        if (file) {
            fwrite(text.data(), 1, text.size(), file);
            fclose(file);
        }
        return path;
    }
    static std::string readFile(const std::string &path)
    {
        std::string text;
        FILE *file = fopen(path.c_str(), "rb");
        char chunk[4096];
        for (size_t got; file && (got = fread(chunk, 1, sizeof chunk, file)) > 0;)
            text.append(chunk, got);
        if (file)
            fclose(file);
        return text;
    }
    // The checker's document of `arguments`, kept in the build folder as `name`.
    std::string save(const std::string &arguments, const char *name, int expectedCode = 0)
    {
        CheckerRun run = runChecker(arguments + " --json");
        EXPECT_EQ(run.exitCode, expectedCode) << arguments << "\n" << run.err;
        return write(name, run.out);
    }
    JsonValue compare(const std::string &arguments, int *code)
    {
        return runCheckerJson("compare " + arguments, code, &err);
    }
    // The findings' names of one kind, in the document's order.
    static std::vector<std::string> named(const JsonValue &document, const char *kind)
    {
        std::vector<std::string> names;
        const JsonValue &findings = document["findings"];
        for (size_t i = 0; i < findings.size(); i++) {
            if (findings[i]["kind"].text == kind)
                names.push_back(findings[i]["name"].text);
        }
        return names;
    }
    // A document as the checker writes one, with `body` its fields after the command's.
    static std::string document(const char *command, const std::string &body, const char *driver = "Sim")
    {
        return std::string("{\"program\": \"quorvelcheck\", \"command\": \"") + command +
               "\", \"driver\": {\"driver_name\": \"" + driver + "\", \"driver_version\": 1}" +
               (body.empty() ? "" : ", ") + body + ", \"exit_code\": 0}";
    }
    static std::string checks(const char *reopen)
    {
        return std::string("\"checks\": [{\"id\": \"open.init\", \"verdict\": \"PASS\"}, "
                           "{\"id\": \"open.reopen\", \"verdict\": \"") + reopen + "\"}]";
    }
    std::string err;
};

// One knob apart, one finding: the output latency the driver claims (info), the clock sources
// check (conform); the same as JUnit and Markdown for a build pipeline.
TEST_F(CompareTest, ADeviceOneKnobApartGivesExactlyThatDifference)
{
    SimConfig config = fastConfig();
    RegisteredDevice *device = addDevice(config);
    std::string infoBase = save("info 0", "compare-info-base.json");
    std::string conformBase = save("conform 0 --only figures", "compare-conform-base.json");
    config.latencyLie = 64;
    ASSERT_EQ(simWriteConfig(device->clsid.c_str(), &config), 0);
    std::string infoNew = save("info 0", "compare-info-new.json");
    config.latencyLie = 0;
    config.clockFault = 2;
    ASSERT_EQ(simWriteConfig(device->clsid.c_str(), &config), 0);
    std::string conformNew = save("conform 0 --only figures", "compare-conform-new.json", 1);

    std::string junit = buildFilePath("compare-junit.xml"), markdown = buildFilePath("compare.md");
    int code = -1;
    JsonValue result = compare("\"" + infoBase + "\" \"" + infoNew + "\" --junit \"" + junit +
                               "\" --markdown \"" + markdown + "\"", &code);
    EXPECT_EQ(code, 1) << err;
    EXPECT_EQ(named(result, "regression"), std::vector<std::string>{"figure.output_latency"});
    EXPECT_TRUE(named(result, "improvement").empty());
    EXPECT_TRUE(named(result, "change").empty());
    JsonValue claimed;
    ASSERT_TRUE(parseJson(readFile(infoBase), &claimed));
    long long output = claimed["latency"]["output_frames"].whole();
    EXPECT_EQ(result["findings"][0]["base"].text, std::to_string(output) + " frames");
    EXPECT_EQ(result["findings"][0]["new"].text, std::to_string(output + 64) + " frames");
    EXPECT_GE(result["rules"]["figure"]["compared"].whole(), 10) << "channels, names, rates, sizes";
    XmlElement root;
    ASSERT_TRUE(parseXml(readFile(junit), &root));
    std::vector<std::string> failed;
    for (const XmlElement &suite : root.children) {
        for (const XmlElement &test : suite.children) {
            for (const XmlElement &inner : test.children) {
                if (inner.name == "failure")
                    failed.push_back(test.attributes.at("name"));
            }
        }
    }
    EXPECT_EQ(failed, (std::vector<std::string>{"figure", "output_latency"}));
    EXPECT_TRUE(contains(readFile(markdown), "| regression | `figure.output_latency` |")) << readFile(markdown);

    result = compare("\"" + conformBase + "\" \"" + conformNew + "\"", &code);
    EXPECT_EQ(code, 1) << err;
    EXPECT_EQ(named(result, "regression"), (std::vector<std::string>{"status.exit_code", "check.figures.clocks"}));
    EXPECT_TRUE(named(result, "improvement").empty());
    EXPECT_TRUE(named(result, "change").empty());
    // A status that got worse stands on its own: waiving the check alone does not pass the run.
    std::string waivers = write("compare-clocks.txt", "check.figures.clocks  a known fault of this build\n");
    compare("\"" + conformBase + "\" \"" + conformNew + "\" --waivers \"" + waivers + "\"", &code);
    EXPECT_EQ(code, 1) << err;
    waivers = write("compare-clocks.txt", "check.figures.clocks  a known fault of this build\n"
                                          "status.exit_code  missed for that fault\n");
    compare("\"" + conformBase + "\" \"" + conformNew + "\" --waivers \"" + waivers + "\"", &code);
    EXPECT_EQ(code, 0) << err;

    // A sweep through a cable, the claim a lie at one size: that setting's claim and its distance
    // from the round trip, and nothing at the other settings.
    SimConfig cabled;
    simDefaultConfig(&cabled);
    cabled.cableOut = 1;
    cabled.cableIn = 0;
    ASSERT_EQ(simWriteConfig(device->clsid.c_str(), &cabled), 0);
    const char *sweep = "latency 0 --out 1 --in 0 --sweep --repeat 1";
    std::string sweepBase = save(sweep, "compare-sweep-base.json");
    cabled.latencyLie = 64;
    cabled.latencyLieAtSize = 128;
    ASSERT_EQ(simWriteConfig(device->clsid.c_str(), &cabled), 0);
    std::string sweepNew = save(sweep, "compare-sweep-new.json");
    result = compare("\"" + sweepBase + "\" \"" + sweepNew + "\"", &code);
    EXPECT_EQ(code, 1) << err;
    EXPECT_EQ(result["compared_command"].text, "latency --sweep");
    EXPECT_EQ(named(result, "regression"), (std::vector<std::string>{"latency.claim_error.48000.128",
                                                                    "figure.output_latency.48000.128"}));
    EXPECT_EQ(result["findings"].size(), 2u);
    EXPECT_GE(result["rules"]["latency"]["compared"].whole(), 4) << "a round trip and a claim a setting";

    // In the text too, and the other way round an improvement that does not fail.
    CheckerRun text = runChecker("compare \"" + conformNew + "\" \"" + conformBase + "\"");
    EXPECT_EQ(text.exitCode, 0) << text.err;
    EXPECT_TRUE(contains(text.out, "  check.figures.clocks: FAIL -> PASS. The verdict got better.\n")) << text.out;
}

// The same device against itself, three streams a side taken in turns: the noise between runs is
// no regression. The same base against a driver that spins and stalls is.
TEST_F(CompareTest, TheSameDeviceOverSeveralRunsIsNoRegressionAndASlowerOneIs)
{
    SimConfig config = fastConfig();
    RegisteredDevice *device = addDevice(config);
    std::string base, same;
    for (int k = 0; k < 3; k++) {
        std::string name = "compare-run-base" + std::to_string(k) + ".json";
        base += (k ? "," : "") + save("run 0 --seconds 1", name.c_str());
        name = "compare-run-same" + std::to_string(k) + ".json";
        same += (k ? "," : "") + save("run 0 --seconds 1", name.c_str());
    }
    int code = -1;
    JsonValue result = compare("\"" + base + "\" \"" + same + "\"", &code);
    EXPECT_EQ(code, 0) << err;
    EXPECT_EQ(result["regressions"].whole(), 0) << named(result, "regression")[0];
    EXPECT_EQ(result["rules"]["timing"]["compared"].whole(), 6);
    EXPECT_EQ(result["rules"]["cpu"]["compared"].whole(), 1);
    EXPECT_EQ(result["base_files"].size(), 3u);

    config.spinPercent = 60;
    config.stallEvery = 100;
    config.stallMs = 40;
    ASSERT_EQ(simWriteConfig(device->clsid.c_str(), &config), 0);
    std::string slower = save("run 0 --seconds 1", "compare-run-slower0.json") + "," +
                         save("run 0 --seconds 1", "compare-run-slower1.json");
    result = compare("\"" + base + "\" \"" + slower + "\"", &code);
    EXPECT_EQ(code, 1) << err;
    std::vector<std::string> regressions = named(result, "regression");
    for (const char *expected : {"timing.max_us", "cpu.driver_core_share"}) {
        EXPECT_NE(std::find(regressions.begin(), regressions.end(), expected), regressions.end()) << expected;
    }
}

// Files a user could hand it: of another command or driver, broken, empty of figures; a waiver;
// a figure that went missing; wrong samples where there were none.
TEST_F(CompareTest, CraftedDocumentsAreRefusedWaivedOrJudgedAsTheRulesSay)
{
    int code = -1;
    std::string passing = write("compare-pass.json", document("conform", checks("PASS")));
    std::string failing = write("compare-fail.json", document("conform", checks("FAIL")));
    std::string info = write("compare-other.json", document("info", "\"input_channels\": 2"));
    std::string otherDriver = write("compare-driver.json", document("conform", checks("PASS"), "Other"));
    compare("\"" + passing + "\" \"" + info + "\"", &code);
    EXPECT_EQ(code, 2);
    EXPECT_TRUE(contains(err, "is a document of conform and")) << err;
    compare("\"" + passing + "\" \"" + otherDriver + "\"", &code);
    EXPECT_EQ(code, 2);
    EXPECT_TRUE(contains(err, "of the driver \"Sim\"")) << err;

    // Broken files: where it broke is named; no byte sequence crashes the reader.
    std::string broken = write("compare-broken.json", "{\"program\": \"quorvelcheck\",\n \"checks\": [1, }");
    compare("\"" + passing + "\" \"" + broken + "\"", &code);
    EXPECT_EQ(code, 2);
    EXPECT_TRUE(contains(err, "compare-broken.json: line 2, column 16: a value was expected")) << err;
    std::string deep = write("compare-deep.json", std::string(100000, '[') + std::string(100000, ']'));
    std::string bytes;
    for (int k = 0; k < 4096; k++)
        bytes += static_cast<char>((k * 7919) >> 3);
    std::string noise = write("compare-noise.json", bytes);
    std::string many = "[0";
    for (int k = 0; k < 600000; k++)
        many += ",0";
    std::string wide = write("compare-wide.json", many + "]");
    for (const std::string &bad : {deep, noise, wide}) {
        compare("\"" + passing + "\" \"" + bad + "\"", &code);
        EXPECT_EQ(code, 2) << err;
    }

    // Documents compare cannot read rightly, and a new side that was never judged: refused.
    for (const char *command : {"soak", "cycles"}) {
        std::string other = write("compare-unread.json", document(command, "\"verdicts\": []"));
        compare("\"" + other + "\" \"" + other + "\"", &code);
        EXPECT_EQ(code, 2);
        EXPECT_TRUE(contains(err, std::string("compare does not read ") + command + " documents yet")) << err;
    }
    for (const char *status : {"5", "6"}) {
        std::string text = document("conform", checks("PASS"));
        text.replace(text.find("\"exit_code\": 0"), 14, std::string("\"exit_code\": ") + status);
        std::string unjudged = write("compare-unjudged.json", text);
        compare("\"" + passing + "\" \"" + unjudged + "\"", &code);
        EXPECT_EQ(code, 2);
        EXPECT_TRUE(contains(err, std::string("compare-unjudged.json: the new side was not judged: its status is ") +
                             status)) << err;
    }

    // A waiver turns the regression into a pass and is shown; one that matched nothing is named.
    JsonValue result = compare("\"" + passing + "\" \"" + failing + "\"", &code);
    EXPECT_EQ(code, 1) << err;
    std::string waivers = write("compare-waivers.txt", "# accepted\ncheck.open.reopen  known, fixed next\n"
                                                       "figure.nothing\n");
    result = compare("\"" + passing + "\" \"" + failing + "\" --waivers \"" + waivers + "\"", &code);
    EXPECT_EQ(code, 0) << err;
    EXPECT_TRUE(result["findings"][0]["waived"].flag);
    EXPECT_EQ(result["findings"][0]["waiver"].text, "known, fixed next");
    EXPECT_EQ(result["unused_waivers"][0].text, "line 3: figure.nothing");
    // The other way round: an improvement, named and passing.
    result = compare("\"" + failing + "\" \"" + passing + "\"", &code);
    EXPECT_EQ(code, 0) << err;
    EXPECT_EQ(named(result, "improvement"), std::vector<std::string>{"check.open.reopen"});

    // Nothing judged on both sides is never "no regression": two documents without figures, or a
    // base that failed before it measured anything.
    std::string empty = write("compare-empty.json", document("conform", ""));
    result = compare("\"" + empty + "\" \"" + empty + "\"", &code);
    EXPECT_EQ(code, 2);
    EXPECT_EQ(result["compared"].whole(), 0);
    EXPECT_TRUE(contains(err, "nothing compare can judge")) << err;
    EXPECT_TRUE(contains(result["error"].text, "nothing compare can judge"));
    result = compare("\"" + empty + "\" \"" + passing + "\"", &code);
    EXPECT_EQ(code, 2);
    EXPECT_EQ(named(result, "change"), (std::vector<std::string>{"check.open.init", "check.open.reopen"}));

    // A figure measured before and absent now; wrong samples where none were.
    std::string before = write("compare-integrity-base.json", document("integrity",
        "\"locked\": true, \"delay_frames\": 130, \"counts\": {\"received\": 96000, \"corrupted\": 0}"));
    std::string after = write("compare-integrity-new.json", document("integrity",
        "\"locked\": true, \"delay_frames\": null, \"counts\": {\"received\": 96000, \"corrupted\": 3}"));
    result = compare("\"" + before + "\" \"" + after + "\"", &code);
    EXPECT_EQ(code, 1) << err;
    EXPECT_EQ(named(result, "regression"), (std::vector<std::string>{"integrity.corrupted", "latency.cable_delay"}));
    EXPECT_EQ(result["findings"][1]["new"].text, "absent");
}

}  // namespace
