// quorvelcheck report against simulated devices: the page read back with the strict XML reader, and
// the JSON documents it embeds held against what each command prints with --json.
#include "tests/checker/checker_process.h"
#include "tests/support/json_reader.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/testkit.h"
#include "tests/support/xml_reader.h"

#include <gtest/gtest.h>
#include <map>
#include <set>
#include <string.h>
#include <stdio.h>
#include <string>

namespace {

class ReportTest : public SimProgramTest {
protected:
    void TearDown() override
    {
        DeleteFileA(pagePath().c_str());
        SimProgramTest::TearDown();
    }
    static std::string pagePath() { return buildFilePath("report_test.html"); }

    // Runs the report with `arguments` and reads the page back; the exit status in `code`.
    void report(const std::string &arguments, int *code)
    {
        CheckerRun run = runChecker("report " + arguments + " -o \"" + pagePath() + "\"");
        *code = run.exitCode;
        page.clear();
        FILE *file = fopen(pagePath().c_str(), "rb");
        ASSERT_NE(file, nullptr) << "no page written";
        char buffer[65536];
        size_t got;
        while ((got = fread(buffer, 1, sizeof buffer, file)) > 0)
            page.append(buffer, got);
        fclose(file);
        std::string error;
        ASSERT_TRUE(parseXml(page, &html, &error)) << error;
    }
    // The verdict badge of a part in the summary; "" when it has no row.
    std::string verdict(const char *part)
    {
        for (const XmlElement *row : html.byId("summary")->elements("tr")) {
            if (row->elements("th")[0]->allText() == part)
                return row->elements("span")[0]->allText();
        }
        return "";
    }
    // The part's embedded JSON document, parsed.
    JsonValue embedded(size_t index)
    {
        std::vector<const XmlElement *> documents = html.byId("json")->elements("pre");
        JsonValue document;
        EXPECT_LT(index, documents.size());
        if (index < documents.size()) {
            EXPECT_TRUE(parseJson(documents[index]->allText(), &document));
        }
        return document;
    }
    JsonValue command(const std::string &arguments)
    {
        CheckerRun run = runChecker(arguments + " --json");
        JsonValue document;
        EXPECT_TRUE(parseJson(run.out, &document)) << arguments << "\n" << run.out;
        return document;
    }

    std::string page;
    XmlElement html;
};

// Fields whose value depends on the moment: timings, counts of a run, worker start-up, what a
// run cost the machine.
const std::set<std::string> momentFields = {
    "cpu", "start_ms", "seconds", "switches", "switches_expected", "switch_ratio", "switches_before_start",
    "switches_during_stop", "count", "switches_timed", "min_us", "median_us", "p99_us", "p99_9_us",
    "max_us", "head_gap_us", "tail_gap_us", "longest_gap_us", "max_late_us", "p99_9_late_us",
    "most_early_us", "longest_callback_us", "late_switches", "switches_not_timed",
    "buffer_switch_calls", "value", "figure", "received", "matched", "unseen", "lock_position",
    "peak_dbfs", "rms_dbfs", "analysed_times_real_time", "longest_gap_at_us", "ratio", "ms",
    "thread_id", "after_switch", "message_pointer", "opt_pointer"};

// Digits masked: "created in 2.6 ms" and "created in 7.1 ms" say the same.
std::string masked(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c < '0' || c > '9')
            out += c;
        else if (out.empty() || out.back() != '#')
            out += '#';
    }
    return out;
}

// Whether the conformance checks judged on a measured figure (a rate in ppm, a time) came out the
// same in both documents; when they did not, the counts and the status differ by the moment too.
bool sameMeasuredVerdicts(const JsonValue &a, const JsonValue &b)
{
    for (size_t i = 0; i < a["checks"].size(); i++) {
        const JsonValue &check = a["checks"][i];
        if (!check["figure"].isNull() && check["verdict"].text != b["checks"][i]["verdict"].text)
            return false;
    }
    return true;
}

// Field by field, except the moment's; a conformance check with a measured figure is judged on
// it, so its verdict and evidence are the moment's too.
void expectSameDocument(const JsonValue &a, const JsonValue &b, const std::string &path)
{
    ASSERT_EQ(a.kind, b.kind) << path;
    switch (a.kind) {
    case JsonValue::OBJECT: {
        ASSERT_EQ(a.members.size(), b.members.size()) << path;
        bool measured = a.members.count("figure") && b.members.count("figure");
        bool judged = path.empty() && a["command"].text == "conform" && !sameMeasuredVerdicts(a, b);
        for (const auto &member : a.members) {
            const std::string &key = member.first;
            ASSERT_TRUE(b.members.count(key)) << path << "." << key;
            if (momentFields.count(key) || (measured && (key == "verdict" || key == "evidence")) ||
                (judged && (key == "counts" || key == "exit_code" || key == "error")))
                continue;
            expectSameDocument(member.second, b[key.c_str()], path + "." + key);
        }
        break;
    }
    case JsonValue::ARRAY:
        ASSERT_EQ(a.items.size(), b.items.size()) << path;
        for (size_t i = 0; i < a.items.size(); i++)
            expectSameDocument(a.items[i], b.items[i], path + "[" + std::to_string(i) + "]");
        break;
    case JsonValue::TEXT: EXPECT_EQ(masked(a.text), masked(b.text)) << path; break;
    case JsonValue::NUMBER: EXPECT_EQ(a.number, b.number) << path; break;
    case JsonValue::BOOL: EXPECT_EQ(a.flag, b.flag) << path; break;
    case JsonValue::NUL: break;
    }
}

TEST_F(ReportTest, TheReportOfTheSimulatedDeviceWithACableShowsEveryPartAsItsCommandPrintsIt)
{
    SimConfig config;
    simDefaultConfig(&config);
    config.minSize = 256;  // a sweep of two sizes
    config.maxSize = 512;
    config.cableOut = 0;
    config.cableIn = 1;
    config.inputDelay = 32;
    config.outputDelay = 16;
    RegisteredDevice *device = addDevice(config, "Report Device");

    int code = -1;
    report("0 --seconds 1 --out 0 --in 1", &code);
    EXPECT_EQ(html.attribute("xmlns"), "http://www.w3.org/1999/xhtml");
    std::string header = html.elements("table")[0]->allText();
    EXPECT_NE(header.find("Quorvel Sim, version 1"), std::string::npos) << header;
    EXPECT_NE(header.find(device->clsid), std::string::npos) << header;
    EXPECT_NE(header.find(simDllPath()), std::string::npos) << header;
    EXPECT_NE(header.find("report 0 --seconds 1 --out 0 --in 1"), std::string::npos) << header;

    // The device's real-time pace decides the measured checks: each part's verdict and the
    // report's status follow from the part's own document, which is what its command prints.
    const char *parts[] = {"info", "conform", "run", "latency sweep", "integrity"};
    const char *commands[] = {"info 0", "conform 0", "run 0 --seconds 1",
                              "latency 0 --out 0 --in 1 --sweep",
                              "integrity 0 --out 0 --in 1 --seconds 1"};
    long long worst = 0;
    for (size_t k = 0; k < 5; k++) {
        SCOPED_TRACE(commands[k]);
        JsonValue document = embedded(k);
        long long status = document["exit_code"].whole();
        worst = status > worst ? status : worst;
        bool warned = document["counts"]["warn"].whole() > 0;
        EXPECT_EQ(verdict(parts[k]), status ? "FAIL" : warned ? "WARN" : "PASS");
        expectSameDocument(document, command(commands[k]), "");
    }
    EXPECT_EQ(code, worst);
    EXPECT_EQ(verdict("info"), "PASS");
    EXPECT_EQ(verdict("latency sweep"), "PASS");
    EXPECT_EQ(verdict("integrity"), "PASS");

    // The pictures: intervals, timeline and processor time; the sweep's two sizes, measured and reported; the
    // integrity's lanes without an event, and every bit through.
    ASSERT_EQ(html.byId("run")->elements("svg").size(), 3u);
    std::vector<const XmlElement *> sweep = html.byId("sweep")->elements("svg");
    ASSERT_EQ(sweep.size(), 1u);
    EXPECT_EQ(sweep[0]->elements("circle").size(), 2u) << "one point per size measured";
    EXPECT_NE(html.byId("sweep")->allText().find("560"), std::string::npos)
        << "2 x 256 + the device's delays, in the table";
    std::vector<const XmlElement *> integrity = html.byId("integrity")->elements("svg");
    ASSERT_EQ(integrity.size(), 2u);
    int bad = 0;
    for (const XmlElement *cell : integrity[1]->elements("rect"))
        bad += cell->attribute("class") == "bad";
    EXPECT_EQ(bad, 0);
}

TEST_F(ReportTest, ADeviceThatCannotStartFailsItsPartsAndTheReportGivesTheWorstStatus)
{
    SimConfig config;
    simDefaultConfig(&config);
    config.startFails = 1;
    addDevice(config);

    int code = -1;
    report("0 --seconds 1", &code);
    EXPECT_EQ(code, 3);
    EXPECT_EQ(verdict("info"), "PASS");
    EXPECT_EQ(verdict("conform"), "FAIL");
    EXPECT_EQ(verdict("run"), "FAIL");
    std::string conform = html.byId("conform")->allText();
    EXPECT_NE(conform.find("FAILstream.window"), std::string::npos);
    EXPECT_NE(conform.find("PASSbuffers.sizes"), std::string::npos);
    EXPECT_EQ(verdict("latency sweep"), "not run") << "no cable named";
    EXPECT_EQ(html.byId("sweep"), nullptr);
    std::string run = html.byId("run")->allText();
    EXPECT_NE(run.find("exit status 3 (the driver could not be loaded, initialised or started)"),
              std::string::npos) << run;
    EXPECT_NE(run.find("start"), std::string::npos) << "the error line of the part";
    // What a failed run prints: its short failure document.
    JsonValue failed = embedded(2);
    EXPECT_EQ(failed["exit_code"].whole(), 3);
    expectSameDocument(failed, command("run 0 --seconds 1"), "");

    CheckerRun summary = runChecker("report 0 --seconds 1 --json -o \"" + pagePath() + "\"");
    JsonValue document;
    ASSERT_TRUE(parseJson(summary.out, &document)) << summary.out;
    EXPECT_EQ(document["exit_code"].whole(), 3);
    EXPECT_EQ(document["parts"][1]["exit_code"].whole(), 1);
    EXPECT_EQ(document["parts"][2]["verdict"].text, "FAIL");
    EXPECT_TRUE(document["parts"][3]["exit_code"].isNull());
}

TEST_F(ReportTest, EveryChannelDrawsTheRoutesFoundAndTheSkewOfEachInput)
{
    // 40 channels, 0 and 1 swapped; the map spelled out is longer than a short line holds.
    SimConfig config;
    simDefaultConfig(&config);
    config.inputs = config.outputs = 40;
    std::string cables = "0:1,1:0", map = "0:0,1:1";
    for (int i = 2; i < 40; i++) {
        cables += "," + std::to_string(i) + ":" + std::to_string(i);
        map += "," + std::to_string(i) + ":" + std::to_string(i);
    }
    strcpy(config.cableMap, cables.c_str());
    strcpy(config.cableDelays, "3:2");
    addDevice(config);

    int code = -1;
    report("0 --seconds 1 --all --map " + map + " --max-skew 1", &code);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(verdict("integrity"), "FAIL");
    const XmlElement *section = html.byId("integrity");
    ASSERT_NE(section, nullptr);
    std::vector<const XmlElement *> pictures = section->elements("svg");
    ASSERT_EQ(pictures.size(), 2u);
    // The grid: a square per route found, in its verdict's class, and an outline for each route
    // the map expects and did not find.
    std::map<std::string, int> squares;
    for (const XmlElement *square : pictures[0]->elements("rect"))
        squares[square->attribute("class")]++;
    EXPECT_EQ(squares["bad"], 2) << "the swapped routes";
    EXPECT_EQ(squares["ok"], 38);
    EXPECT_EQ(squares["mark"], 2);
    EXPECT_NE(pictures[0]->allText().find("output 3 to input 3: delay 514 frames, skew +2"),
              std::string::npos) << pictures[0]->allText();
    // The skew: input 3's bar over --max-skew.
    int over = 0;
    for (const XmlElement *bar : pictures[1]->elements("rect"))
        over += bar->attribute("class") == "bar over";
    EXPECT_EQ(over, 1);
    JsonValue document = embedded(3);  // no sweep without a cable
    EXPECT_EQ(document["routes"].size(), 40u);
    EXPECT_EQ(document["skew"]["spread_frames"].whole(), 2);
}

}  // namespace
