// The checker's pure parts without a process: the command line with the program's own table of
// commands, the buffer sizes a granularity allows, the robust step, the worker's argument quoting
// and the JSON writer.
#include "checker/checker.h"
#include "checker/commands/commands.h"
#include "checker/soak/soak.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>
#include <math.h>
#include <string>
#include <vector>

namespace {

// Parses "quorvelcheck <line>" split at spaces; the failure's text in *message.
int parse(const std::string &line, CheckerOptions *options, std::string *message = nullptr)
{
    useProgramTables();
    setFailureText("");
    // Kept until the next parse: the options' texts point into them.
    static std::vector<std::string> words;
    words = {"quorvelcheck"};
    for (size_t at = 0; at < line.size();) {
        size_t space = line.find(' ', at);
        space = space == std::string::npos ? line.size() : space;
        if (space > at)
            words.push_back(line.substr(at, space - at));
        at = space + 1;
    }
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(&word[0]);
    int code = parseArguments(static_cast<int>(argv.size()), argv.data(), options);
    if (message)
        *message = lastFailure();
    return code;
}

TEST(ArgumentsTest, EveryUsageErrorIsRefusedWithItsReason)
{
    struct Row {
        const char *line;
        const char *message;
    };
    const Row rows[] = {
        {"", "no command; the commands are list, info, run, latency, conform, integrity, report, gone, cycles, soak and compare"},
        {"frobnicate", "unknown command \"frobnicate\""},
        {"probe 0", "unknown command \"probe\""},  // the worker's own
        {"run 0 --bogus", "unknown option --bogus (quorvelcheck run --help)"},
        {"run 0 1", "unexpected argument \"1\""},
        {"compare base.json", "compare needs two files: BASE.json NEW.json"},
        {"compare a.json b.json c.json", "unexpected argument \"c.json\""},
        {"compare a.json b.json --seconds 3", "compare does not take --seconds"},
        {"gone 0", "gone needs --gone-command CMD or --gone-step S"},
        {"gone 0 --gone-command x --gone-step 3", "not both"},
        {"gone 0 --gone-step 0", "bad value for --gone-step: \"0\""},
        {"run 0 --gone-command x", "--gone-command"},
        {"cycles 0 --count 101", "a count of cycles from 1 to 100"},
        {"cycles 0 --ending kill", "cycles does not take --ending"},  // the worker's own
        {"run 0 --seconds abc", "bad value for --seconds: \"abc\""},
        {"run 0 --seconds 0", "seconds above 0, at most 86400"},
        {"run 0 --seconds=", "bad value for --seconds: \"\""},
        {"run 0 --seconds", "--seconds needs a value"},
        {"run 0 --in-process=1", "--in-process takes no value"},
        {"run 0 --pings 3", "run does not take --pings"},
        {"latency 0 --pings 1001", "a count of pings from 1 to 1000"},
        {"latency 0 --out 0", "latency needs --out O and --in I"},
        {"latency 0 --out 0 --in 1 --rates 48000", "latency takes --rates only with --sweep"},
        {"latency 0 --out 0 --in 1 --sweep --buffer 64", "sets the sizes and rates itself"},
        {"latency 0 --out 0 --in 1 --sweep --repeat 11", "takes --repeat up to 10"},
        {"latency 0 --out 0 --in 1 --sweep --rates 48000,x", "\"all\" or rates in Hz"},
        {"latency 0 --out 0 --in 1 --sweep --rates 48000,inf", "\"all\" or rates in Hz"},
        {"latency 0 --out 0 --in 1 --sweep --rates nan", "\"all\" or rates in Hz"},
        {"integrity 0 --in 1", "integrity needs --out O and --in I"},
        {"integrity 0 --all --out 1", "--out and --in for one cable, or --all"},
        {"integrity 0 --out 0 --in 1 --map same", "--map and --max-skew judge the routes"},
        {"integrity 0 --outs 0,2-1", "channels and ranges such as 0,1,4-7"},
        {"integrity 0 --ins 0,1,1", "each once"},
        {"integrity 0 --all --map 0:1,2:1", "each input once"},
        {"integrity 0 --all --map 0:128", "channels 0 to 127"},
        {"integrity 0 --all --max-skew -1", "frames, 0 or more"},
        {"info", "info needs a DRIVER"},
        {"list 0", "list takes no DRIVER"},
        {"list --call-timeout 2", "list takes --call-timeout only with --probe"},
        {"conform 0 --only bogus", "unknown check \"bogus\""},
        {"conform 0 --skip open,nothing", "unknown check \"nothing\""},
        {"conform --list-checks 0", "conform --list-checks takes no DRIVER"},
        {"report 0", "report needs -o FILE"},
        {"report 0 -o r.html --out 1", "report takes --out O and --in I together"},
        {"run 0 --call-timeout 0.05", "seconds from 0.1 to 86400"},
    };
    for (const Row &row : rows) {
        CheckerOptions options;
        std::string message;
        EXPECT_EQ(parse(row.line, &options, &message), EXIT_USAGE) << row.line;
        EXPECT_NE(message.find(row.message), std::string::npos) << row.line << ": " << message;
    }
}

// Every option's value lands in its own field, and a number is taken up to its bounds and refused
// just past them.
TEST(ArgumentsTest, EachOptionTakesItsValueUpToItsBounds)
{
    CheckerOptions o;
    ASSERT_EQ(parse("run 0 --seconds 86400 --buffer 1 --rate 0.5 --max-late 0 --min-switch-ratio 10 "
                    "--call-timeout 0.1 --time-info --in-process", &o), EXIT_FINE);
    EXPECT_EQ(o.seconds, 86400);
    EXPECT_EQ(o.bufferSize, 1);
    EXPECT_EQ(o.rate, 0.5);
    EXPECT_EQ(o.maxLate, 0);
    EXPECT_EQ(o.minSwitchRatio, 10);
    EXPECT_EQ(o.callTimeout, 0.1);
    EXPECT_TRUE(o.timeInfo && o.inProcess);
    ASSERT_EQ(parse("latency 0 --out 3 --in 0 --sweep --pings 1000 --repeat 1 --tolerance 0 "
                    "--rates all", &o), EXIT_FINE);
    EXPECT_EQ(o.outChannel, 3);
    EXPECT_EQ(o.inChannel, 0);
    EXPECT_TRUE(o.sweep);
    EXPECT_EQ(o.pings, 1000);
    EXPECT_EQ(o.repeat, 1);
    EXPECT_EQ(o.tolerance, 0);
    EXPECT_STREQ(o.rates, "all");
    ASSERT_EQ(parse("conform 0 --repeat 100 --only open --skip stream --strict --junit j.xml", &o),
              EXIT_FINE);
    EXPECT_EQ(o.repeat, 100);
    EXPECT_STREQ(o.only, "open");
    EXPECT_STREQ(o.skip, "stream");
    EXPECT_TRUE(o.strict);
    EXPECT_STREQ(o.junitFile, "j.xml");
    ASSERT_EQ(parse("integrity 0 --outs 0-1 --ins 2 --map same --max-skew 0", &o), EXIT_FINE);
    EXPECT_STREQ(o.outs, "0-1");
    EXPECT_STREQ(o.ins, "2");
    EXPECT_STREQ(o.map, "same");
    EXPECT_EQ(o.maxSkew, 0);
    ASSERT_EQ(parse("integrity 0 --all", &o), EXIT_FINE);
    EXPECT_TRUE(o.all);
    ASSERT_EQ(parse("report 0 -o r.html", &o), EXIT_FINE);
    EXPECT_STREQ(o.reportFile, "r.html");
    ASSERT_EQ(parse("list --probe", &o), EXIT_FINE);
    EXPECT_TRUE(o.probe);
    ASSERT_EQ(parse("conform --list-checks", &o), EXIT_FINE);
    EXPECT_TRUE(o.listChecks);
    ASSERT_EQ(parse("gone 0 --gone-command off --back-command on --back-seconds 86400", &o), EXIT_FINE);
    EXPECT_STREQ(o.goneCommand, "off");
    EXPECT_STREQ(o.backCommand, "on");
    EXPECT_EQ(o.backSeconds, 86400);
    EXPECT_EQ(o.seconds, 2) << "gone's own default";
    ASSERT_EQ(parse("cycles 0", &o), EXIT_FINE);
    EXPECT_EQ(o.cycles, 8);
    EXPECT_EQ(o.freshEvery, 4);
    EXPECT_EQ(o.seconds, 1) << "cycles' own default";
    EXPECT_FALSE(o.noDirty);
    ASSERT_EQ(parse("gone 0 --gone-step 3600", &o), EXIT_FINE);
    EXPECT_EQ(o.goneStep, 3600);
    EXPECT_EQ(o.backSeconds, 30);

    struct Row {
        const char *line;
        const char *message;
    };
    const Row past[] = {
        {"run 0 --seconds 86400.5", "seconds above 0, at most 86400"},
        {"run 0 --buffer 0", "a buffer size in frames above 0"},
        {"run 0 --rate -1", "a sample rate in Hz above 0"},
        {"run 0 --max-late -1", "a count of late switches, 0 or more"},
        {"run 0 --min-switch-ratio 0", "a ratio above 0, at most 10"},
        {"run 0 --min-switch-ratio 10.01", "a ratio above 0, at most 10"},
        {"run 0 --call-timeout 86400.5", "seconds from 0.1 to 86400"},
        {"latency 0 --out 0 --in -1", "bad value for --in: \"-1\" (a channel number, 0 or more)"},
        {"latency 0 --out 0 --in 1 --pings 0", "a count of pings from 1 to 1000"},
        {"conform 0 --repeat 101", "a count of repetitions from 1 to 100"},
        {"latency 0 --out 0 --in 1 --sweep --tolerance -0.5", "frames, 0 or more"},
        {"conform 0 --junit=", "bad value for --junit: \"\" (a file name)"},
        {"report 0 -o ", "-o needs a value"},
        {"gone 0 --gone-step 3600.5", "seconds above 0, at most 3600"},
        {"gone 0 --gone-command x --back-seconds 0", "seconds above 0, at most 86400"},
        {"gone 0 --gone-command=", "bad value for --gone-command: \"\" (a command line)"},
    };
    for (const Row &row : past) {
        std::string message;
        EXPECT_EQ(parse(row.line, &o, &message), EXIT_USAGE) << row.line;
        EXPECT_NE(message.find(row.message), std::string::npos) << row.line << ": " << message;
    }
}

// --host-supports: "all", "none", or selectors by number or short name; anything else is a usage
// error that says what the option takes, and a command that does not stream does not take it.
TEST(ArgumentsTest, HostSupportsTakesAllNoneOrAListOfSelectors)
{
    CheckerOptions o;
    ASSERT_EQ(parse("run 0", &o), EXIT_FINE);
    EXPECT_EQ(hostSupportedSelectors(o), 0xfffeul) << "all when not given";
    ASSERT_EQ(parse("run 0 --host-supports none", &o), EXIT_FINE);
    EXPECT_EQ(hostSupportedSelectors(o), 0ul);
    ASSERT_EQ(parse("latency 0 --out 0 --in 1 --host-supports reset,4,time-info,overload", &o),
              EXIT_FINE);
    EXPECT_EQ(hostSupportedSelectors(o), (1ul << 3) | (1ul << 4) | (1ul << 7) | (1ul << 15));
    ASSERT_EQ(parse("conform 0 --host-supports engine-version,resync,latencies,15", &o), EXIT_FINE);
    EXPECT_EQ(hostSupportedSelectors(o), (1ul << 2) | (1ul << 5) | (1ul << 6) | (1ul << 15));
    ASSERT_EQ(parse("integrity 0 --out 0 --in 1 --host-supports all", &o), EXIT_FINE);
    EXPECT_EQ(hostSupportedSelectors(o), 0xfffeul);
    for (long s = 1; s <= 15; s++) {
        unsigned long bits = 0;
        EXPECT_TRUE(parseHostSupports(selectorOptionName(s), &bits)) << s;
        EXPECT_EQ(bits, 1ul << s) << selectorOptionName(s);
    }

    const char *bad[] = {"reset,bogus", "0", "16", "reset,", ",reset", "", "Reset", "3x", "all,3",
                         "99999999999999999999"};
    for (const char *value : bad) {
        std::string message;
        EXPECT_EQ(parse(std::string("run 0 --host-supports=") + value, &o, &message), EXIT_USAGE)
            << value;
        EXPECT_NE(message.find(std::string("bad value for --host-supports: \"") + value + "\""),
                  std::string::npos) << message;
        EXPECT_NE(message.find("selectors 1 to 15 by number or name"), std::string::npos) << message;
    }
    std::string message;
    EXPECT_EQ(parse("info 0 --host-supports none", &o, &message), EXIT_USAGE);
    EXPECT_NE(message.find("info does not take --host-supports"), std::string::npos) << message;
}

TEST(ArgumentsTest, EachCommandTakesItsDefaultsAndRules)
{
    CheckerOptions o;
    ASSERT_EQ(parse("run sim --seconds=2.5 --max-late 0", &o), EXIT_FINE);
    EXPECT_STREQ(commandName(o.command), "run");
    EXPECT_STREQ(o.driver, "sim");
    EXPECT_EQ(o.seconds, 2.5);
    EXPECT_EQ(o.maxLate, 0);
    EXPECT_EQ(o.callTimeout, 10);
    EXPECT_EQ(o.outChannel, -1);

    ASSERT_EQ(parse("conform 0 --only figures,stream.rate", &o), EXIT_FINE);
    EXPECT_EQ(o.seconds, 3);  // conform's own default
    ASSERT_EQ(parse("conform 0 --seconds 7", &o), EXIT_FINE);
    EXPECT_EQ(o.seconds, 7);

    ASSERT_EQ(parse("latency 0 --out 0 --in 1 --sweep", &o), EXIT_FINE);
    EXPECT_EQ(o.repeat, 2);  // the sweep's defaults
    EXPECT_EQ(o.pings, 3);
    ASSERT_EQ(parse("latency 0 --out 0 --in 1", &o), EXIT_FINE);
    EXPECT_EQ(o.repeat, 1);
    EXPECT_EQ(o.pings, 5);

    ASSERT_EQ(parse("list --probe --call-timeout 2 --json", &o), EXIT_FINE);
    EXPECT_TRUE(o.probe && o.json);
    EXPECT_EQ(o.driver, nullptr);

    // Help and version answer whatever else stands on the line; --json is known even on failure.
    EXPECT_EQ(parse("run --bogus --help", &o), EXIT_FINE);
    EXPECT_TRUE(o.help);
    EXPECT_EQ(parse("frobnicate --json", &o), EXIT_USAGE);
    EXPECT_TRUE(o.json);
}

// Of several statuses the driver's findings stand first: a part that crashed, or missed a check,
// is not hidden behind another's interrupt or the checker's own shortfall.
TEST(StatusTest, TheDriversFindingsComeBeforeTheCheckersShortfallAndTheInterrupt)
{
    EXPECT_EQ(worseStatus(EXIT_CHECK_MISSED, EXIT_SHORTFALL), EXIT_CHECK_MISSED);
    EXPECT_EQ(worseStatus(EXIT_INTERRUPTED, EXIT_CRASHED), EXIT_CRASHED);
    EXPECT_EQ(worseStatus(EXIT_SHORTFALL, EXIT_INTERRUPTED), EXIT_SHORTFALL);
    EXPECT_EQ(worseStatus(EXIT_FINE, EXIT_INTERRUPTED), EXIT_INTERRUPTED);
    EXPECT_EQ(worseStatus(EXIT_DRIVER, EXIT_CHECK_MISSED), EXIT_DRIVER);

    // A switch the checker lost in its ring shows as a gap and one fewer in the count: a stream
    // that looks stopped is then the checker's shortfall, never the driver's failure.
    TimingFigures t = {};
    t.switches = 50;
    t.windowUs = 2e6;
    t.longestGapUs = 1.5e6;
    t.longestGapAtUs = 0.2e6;
    t.expected = 200;
    t.ratio = 0.25;
    EXPECT_EQ(streamKeptStatus(t, 10000), EXIT_CHECK_MISSED);
    t.missedByChecker = 150;
    EXPECT_EQ(streamKeptStatus(t, 10000), EXIT_SHORTFALL);
}

// The driver's numbers as the output names them, written here as numbers on purpose: a row of the
// tables that lost its text, or a name that moved to another number, shows here.
TEST(DriverTextsTest, EveryErrorAndSelectorHasItsTextAndOthersHaveNone)
{
    const struct {
        long error;
        const char *text;
    } errors[] = {{0, "ASE_OK"}, {0x3f4847a0, "ASE_SUCCESS"}, {-1000, "ASE_NotPresent"},
                  {-999, "ASE_HWMalfunction"}, {-998, "ASE_InvalidParameter"}, {-997, "ASE_InvalidMode"},
                  {-996, "ASE_SPNotAdvancing"}, {-995, "ASE_NoClock"}, {-994, "ASE_NoMemory"},
                  {-993, "error -993"}, {1, "error 1"}};
    char buffer[32];
    for (const auto &e : errors)
        EXPECT_STREQ(asioErrorName(e.error, buffer, sizeof buffer), e.text) << e.error;
    const char *const selectors[] = {
        nullptr, "kAsioSelectorSupported", "kAsioEngineVersion", "kAsioResetRequest",
        "kAsioBufferSizeChange", "kAsioResyncRequest", "kAsioLatenciesChanged", "kAsioSupportsTimeInfo",
        "kAsioSupportsTimeCode", "kAsioMMCCommand", "kAsioSupportsInputMonitor", "kAsioSupportsInputGain",
        "kAsioSupportsInputMeter", "kAsioSupportsOutputGain", "kAsioSupportsOutputMeter", "kAsioOverload",
        nullptr};
    for (long s = 0; s < 17; s++)
        EXPECT_STREQ(selectorName(s), selectors[s]) << s;
    EXPECT_EQ(selectorName(-1), nullptr);
}

TEST(BufferSizesTest, TheGranularityMakesTheSizesAndALongListIsThinned)
{
    long sizes[16];
    ASSERT_EQ(allowedBufferSizes(64, 2048, 256, -1, sizes, 16), 6);
    EXPECT_EQ(std::vector<long>(sizes, sizes + 6), (std::vector<long>{64, 128, 256, 512, 1024, 2048}));

    // 1 to 4096 in steps of 1: thinned to 16, the ends and the preferred size kept.
    ASSERT_EQ(allowedBufferSizes(1, 4096, 333, 1, sizes, 16), 16);
    EXPECT_EQ(sizes[0], 1);
    EXPECT_EQ(sizes[15], 4096);
    EXPECT_NE(std::find(sizes, sizes + 16, 333), sizes + 16);
    for (int k = 1; k < 16; k++)
        EXPECT_LT(sizes[k - 1], sizes[k]);

    // Granularity 0: min, max and the preferred size only; nothing usable: the preferred alone.
    ASSERT_EQ(allowedBufferSizes(100, 100, 100, 0, sizes, 16), 1);
    EXPECT_EQ(sizes[0], 100);
    ASSERT_EQ(allowedBufferSizes(0, -5, 128, -1, sizes, 16), 1);
    EXPECT_EQ(sizes[0], 128);

    // A hostile maxSize at the top of long: no step wraps past it into sizes below the minimum.
    const long top = 2147483647;
    const long grids[][3] = {{64, -1, 16}, {64, 0x40000000, 4}, {1, 0x7FFFFFF0, 4}};
    for (const long *g : grids) {
        ASSERT_EQ(allowedBufferSizes(g[0], top, 256, g[1], sizes, 16), g[2]) << g[1];
        EXPECT_EQ(sizes[0], g[0]);
        EXPECT_EQ(sizes[g[2] - 1], top);
        for (int k = 1; k < g[2]; k++)
            EXPECT_LT(sizes[k - 1], sizes[k]);
    }

    EXPECT_TRUE(bufferSizeAllowed(64, 2048, 256, -1, 512));
    EXPECT_FALSE(bufferSizeAllowed(64, 2048, 256, -1, 100));
    EXPECT_TRUE(bufferSizeAllowed(48, 480, 96, 48, 144));
    EXPECT_FALSE(bufferSizeAllowed(48, 480, 96, 48, 100));
    EXPECT_FALSE(bufferSizeAllowed(48, 480, 96, 48, 528));
    EXPECT_TRUE(bufferSizeAllowed(100, 200, 150, 0, 150));
    EXPECT_FALSE(bufferSizeAllowed(100, 200, 150, 0, 100));
}

TEST(RobustStepTest, AFewDelayedValuesDoNotMoveTheStep)
{
    std::vector<double> arrivals;
    for (int k = 0; k < 1000; k++)
        arrivals.push_back(k * 5333.0);
    arrivals[10] += 4000;  // held up, then a burst catches up
    arrivals[500] += 9000;
    arrivals[999] += 20000;
    EXPECT_DOUBLE_EQ(robustStep(arrivals.data(), arrivals.size()), 5333.0);
    EXPECT_EQ(robustStep(arrivals.data(), 1), 0);
    double sorted[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    EXPECT_EQ(nearestRank(sorted, 10, 50), 5);
    EXPECT_EQ(nearestRank(sorted, 10, 99.9), 10);
    EXPECT_EQ(nearestRank(sorted, 0, 50), 0);
}

// soak's length is given once, in hours, minutes or seconds (an hour when none is); its limits have
// their defaults.
TEST(ArgumentsTest, SoakTakesItsLengthOnce)
{
    CheckerOptions o;
    ASSERT_EQ(parse("soak 0 --hours 2", &o), EXIT_FINE);
    EXPECT_EQ(o.seconds, 7200);
    ASSERT_EQ(parse("soak 0 --minutes 3 --until-glitch --log f.jsonl --checkpoint-seconds 0.5", &o),
              EXIT_FINE);
    EXPECT_EQ(o.seconds, 180);
    EXPECT_TRUE(o.untilGlitch);
    EXPECT_STREQ(o.logFile, "f.jsonl");
    EXPECT_EQ(o.checkpointSeconds, 0.5);
    ASSERT_EQ(parse("soak 0", &o), EXIT_FINE);
    EXPECT_EQ(o.seconds, 3600);
    EXPECT_EQ(o.maxPpm, 200);
    EXPECT_EQ(o.maxTrend, 20);
    EXPECT_EQ(o.maxGlitches, -1);
    EXPECT_EQ(o.checkpointSeconds, 60);
    std::string message;
    EXPECT_EQ(parse("soak 0 --hours 1 --seconds 5", &o, &message), EXIT_USAGE);
    EXPECT_NE(message.find("once"), std::string::npos) << message;
    EXPECT_EQ(parse("run 0 --hours 1", &o), EXIT_USAGE);
}

// The windows a long soak merges keep the line the points make: two fits merged are the fit of all
// their points, and the slope and its error come out of the sums.
TEST(SoakFitTest, MergedFitsAreTheFitOfAllTheirPoints)
{
    SoakFit all = {}, first = {}, second = {};
    for (int k = 0; k < 1000; k++) {
        double x = k * 5333.3, y = k * 256.0 * (1 + 300e-6) + (k % 7) * 0.5;
        soakFitAdd(&all, x, y);
        soakFitAdd(k < 400 ? &first : &second, x, y);
    }
    soakFitMerge(&first, second);
    EXPECT_NEAR(soakFitSlope(first), soakFitSlope(all), 1e-12);
    EXPECT_NEAR(soakFitSlopeError(first), soakFitSlopeError(all), 1e-12);
    EXPECT_NEAR(soakFitSlope(all), 256 * (1 + 300e-6) / 5333.3, 1e-6);
    SoakFit two = {};
    soakFitAdd(&two, 0, 0);
    soakFitAdd(&two, 1, 1);
    EXPECT_TRUE(isnan(soakFitSlope(two)));  // no line from two points: nothing to judge
}

TEST(QuotingTest, TheWorkersCommandLineGivesEveryArgumentBackWhole)
{
    const char *const arguments[] = {"plain", "", "two words", "a\"quote", "trailing\\",
                                     "C:\\path with space\\", "back\\\\\"slash", "tab\there"};
    std::string line = "quorvelcheck";
    for (const char *argument : arguments) {
        line += ' ';
        quoteArgument(&line, argument);
    }
    std::wstring wide(line.begin(), line.end());
    int count = 0;
    LPWSTR *parsed = CommandLineToArgvW(wide.c_str(), &count);
    ASSERT_NE(parsed, nullptr);
    ASSERT_EQ(count, 1 + static_cast<int>(sizeof arguments / sizeof arguments[0])) << line;
    for (int k = 1; k < count; k++) {
        std::wstring expected(arguments[k - 1], arguments[k - 1] + strlen(arguments[k - 1]));
        EXPECT_EQ(std::wstring(parsed[k]), expected) << line;
    }
    LocalFree(parsed);
}

TEST(JsonWriterTest, DocumentsAreIndentedEscapedAndNumbersThatAreNotFiniteAreNull)
{
    std::string text;
    jsonToBuffer(&text);
    jsonBeginObject(nullptr);
    jsonText("name", "M\xFCller \"A\"\n\x01");  // u-umlaut in code page 1252
    jsonInteger("big", -9007199254740993LL);
    jsonNumber("whole", 48000);
    jsonNumber("part", 0.1);
    jsonNumber("none", NAN);
    jsonBeginArray("list");
    jsonBool(nullptr, true);
    jsonNull(nullptr);
    jsonEndArray();
    jsonBeginArray("empty");
    jsonEndArray();
    jsonText("absent", nullptr);
    jsonEndObject();
    jsonFinish();
    jsonToStdout();
    EXPECT_EQ(text, "{\n"
                    "  \"name\": \"M\xC3\xBCller \\\"A\\\"\\n\\u0001\",\n"
                    "  \"big\": -9007199254740993,\n"
                    "  \"whole\": 48000,\n"
                    "  \"part\": 0.1,\n"
                    "  \"none\": null,\n"
                    "  \"list\": [\n"
                    "    true,\n"
                    "    null\n"
                    "  ],\n"
                    "  \"empty\": [],\n"
                    "  \"absent\": null\n"
                    "}\n");
    EXPECT_FALSE(jsonDocumentWritten());  // a buffer's document is not stdout's
}

}  // namespace

namespace {

// What a driver's asioMessage pointers point to is read after the run with a reader that fails
// instead of faulting: an address in no page, a page with no access and a page given back are
// shown as not readable; a good pointer's bytes and *opt are shown.
TEST(NotificationsTest, APointerThatCannotBeReadIsShownNotFollowed)
{
    char *noAccess = static_cast<char *>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_NOACCESS));
    char *freed = static_cast<char *>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE));
    ASSERT_TRUE(noAccess && freed);
    VirtualFree(freed, 0, MEM_RELEASE);
    static char bytes[16] = "abcdefghijklmno";
    static double rate = 44100;
    ASSERT_TRUE(prepareTiming(1, 1000));
    resetMessageCounts(false);
    setHostSupports(HOST_SUPPORTS_ALL);
    int64_t start = switchTicks();
    checkerAsioMessage(ASIO_MSG_RESET_REQUEST, 0, reinterpret_cast<void *>(0x10),
                       reinterpret_cast<double *>(0x20));
    checkerAsioMessage(ASIO_MSG_LATENCIES_CHANGED, 7, noAccess, reinterpret_cast<double *>(freed));
    checkerAsioMessage(ASIO_MSG_RESYNC_REQUEST, 0, bytes, &rate);
    static NotificationRecord record;
    keepNotifications(&record, start);
    VirtualFree(noAccess, 0, MEM_RELEASE);
    ASSERT_EQ(record.kept, 3);
    EXPECT_EQ(record.items[0].messageRead, POINTER_UNREADABLE);
    EXPECT_EQ(record.items[0].optRead, POINTER_UNREADABLE);
    EXPECT_EQ(record.items[1].messageRead, POINTER_UNREADABLE);
    EXPECT_EQ(record.items[1].optRead, POINTER_UNREADABLE);
    EXPECT_EQ(record.items[2].messageRead, POINTER_READ);
    EXPECT_EQ(record.items[2].messageLength, 16);
    EXPECT_EQ(record.items[2].n.rate, 44100);
    EXPECT_EQ(notificationsFault(record), nullptr);

    std::string text;
    jsonToBuffer(&text);
    jsonBeginObject(nullptr);
    jsonNotifications(record, nullptr);
    jsonEndObject();
    jsonFinish();
    jsonToStdout();
    EXPECT_NE(text.find("\"message_pointer\": \"0x00000010\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"readable\": false"), std::string::npos) << text;
    EXPECT_NE(text.find("\"message_bytes\": \"61 62 63 64 65 66 67 68 69 6a 6b 6c 6d 6e 6f 00\""),
              std::string::npos) << text;
    EXPECT_NE(text.find("\"opt_value\": 44100"), std::string::npos) << text;

    record.kept = NOTIFICATION_ROOM + 1;
    EXPECT_NE(notificationsFault(record), nullptr);
    record.kept = 1;
    record.items[0].n.kind = 3;
    EXPECT_NE(notificationsFault(record), nullptr);
}

}  // namespace
