// quorvelcheck compare: two sets of the checker's own JSON documents, the last driver build's
// (the base) and the new one's, read back and set against each other, figure by figure, by typed
// rules. Parent only: no driver is loaded and no worker started. Main thread throughout.
//
// The files are the user's and may be anything: the reader bounds their size and nesting, and
// every value is looked up by kind, so that no byte sequence crashes it or is mistaken for a figure.
#pragma once

#include "checker/base/base.h"

#include <string>
#include <vector>

// ---- A JSON reader of its own (the checker's documents, or anything a user hands it)

// A file larger than this is refused unread: the largest document the checker writes (a
// conformance run's notifications, a sweep) is well under a megabyte. The values are bounded too,
// for a file of small values would take a hundred times its size in memory: the checker's largest
// documents hold about 20,000.
enum { MAX_COMPARE_FILE_BYTES = 16 * 1024 * 1024, MAX_COMPARE_DEPTH = 64, MAX_COMPARE_VALUES = 500000 };

enum JsonKind { JSON_NULL, JSON_BOOL, JSON_NUMBER, JSON_TEXT, JSON_ARRAY, JSON_OBJECT };
struct JsonNode {
    JsonKind kind;
    bool flag;
    double number;
    std::string text;             // a text's value, valid UTF-8, control characters but tab and newline as '?'
    std::string name;             // the key of an object's member; "" elsewhere
    std::vector<JsonNode> items;  // an array's items, an object's members in their order
};
// Parses one document (white space around it allowed). False with *error saying where it broke
// ("line 3, column 14: a value was expected").
bool parseJsonDocument(const char *text, size_t length, JsonNode *root, std::string *error);
// Reads and parses the file. False with *error naming what went wrong (no file, too large, where
// the text broke).
bool readJsonFile(const char *path, JsonNode *root, std::string *error);
// The member `key` of an object; null when there is none or `node` is not an object.
const JsonNode *jsonMember(const JsonNode *node, const char *key);
// The member's value when it has that kind; null otherwise.
const JsonNode *jsonMemberOf(const JsonNode *node, const char *key, JsonKind kind);

// ---- What a document holds that can be compared: facts, each under a rule, a key and a kind

// The rules, each a family of findings; a waiver and a finding are named "rule.key".
enum CompareRule {
    RULE_STATUS,     // the command's exit status
    RULE_CHECK,      // verdicts: conform's checks, run's checks, gone's, the report's parts, routes
    RULE_FIGURE,     // the driver's figures: channels, names, types, rates, sizes, clocks, claims
    RULE_LATENCY,    // measured round trips, and how far the claim is from them
    RULE_TIMING,     // the switches' timing percentiles, late switches, the switch ratio
    RULE_CPU,        // the driver's share of a core while streaming
    RULE_INTEGRITY,  // samples that came back wrong
    RULE_COUNT
};
// "status", "check", "figure", "latency", "timing", "cpu", "integrity".
const char *compareRuleName(int rule);

// How a fact's two sides are judged.
enum FactKind {
    FACT_EXIT,         // an exit status: 0 before 1 before 3 before 4; 2, 5 and 6 only named
    FACT_VERDICT,      // PASS < WARN < FAIL; lost to "not run" worse, WARN or FAIL after none worse
    FACT_EXACT,        // a figure: any change is a regression
    FACT_ACCEPTED,     // a rate accepted: lost is a regression, gained an improvement
    FACT_FRAMES,       // a measured latency: worse when longer by more than a frame
    FACT_CLAIM,        // claim minus truth: worse when further from 0 by more than a frame
    FACT_HIGHER_WORSE, // noisy: worse when higher beyond the margin
    FACT_LOWER_WORSE,  // noisy: worse when lower beyond the margin
    FACT_WRONG_COUNT,  // a count of wrong or lost samples or pings: growth a regression, a fall an improvement
    FACT_RATIO,        // the switch ratio: worse when further from 1 beyond the margin
};

struct Fact {
    CompareRule rule;
    FactKind kind;
    std::string key;     // "figures.clocks", "output_latency", "p99_us"
    bool present;        // false: the document has the field as null, or said it was not measured
    bool isNumber;
    double number;
    std::string text;    // a text fact's value, or a number as shown
    const char *unit;    // "frames", "us", "%"... ; "" for none
};

// What one file holds: its command and shape, the driver's names, and its facts in the document's
// order.
struct CompareDocument {
    std::string path;
    std::string command;
    std::string shape;          // " --sweep", " --all" or "", known only from a document's results
    std::string driverName;     // the driver's own name; "" when the document has none
    std::string registryName;   // the name the list gives it
    std::string driverVersion;
    std::vector<Fact> facts;
};
// The facts of a parsed document. False with *error when it is no document of the checker (no
// "program" of "quorvelcheck", no command).
bool readCompareDocument(const JsonNode &root, CompareDocument *document, std::string *error);

// ---- Findings

enum FindingKind { FINDING_REGRESSION, FINDING_IMPROVEMENT, FINDING_CHANGE };
struct Finding {
    CompareRule rule;
    FindingKind kind;
    std::string key;       // the fact's key, without the rule
    std::string base;      // each side's value as shown: "PASS", "256 frames", "absent"
    std::string now;
    std::string why;       // a plain sentence
    bool waived;
    std::string waiver;    // the waiver's reason, when it gave one
};
// How many facts of each rule were compared, and found each way.
struct RuleCounts {
    int compared, regressions, improvements, changes, waived;
};
struct Comparison {
    std::string command, driverName, baseVersion, newVersion;
    std::vector<std::string> baseFiles, newFiles;
    std::vector<Finding> findings;  // regressions first, then improvements, then changes
    RuleCounts counts[RULE_COUNT];
    int compared;                   // facts compared, the exit status's not counted
    int regressions, waivedRegressions, improvements, changes;
    std::vector<std::string> unusedWaivers;  // "line 4: check.open.reopen"
};
// Sets each side's facts against the other's into *comparison (emptied first): a side of several
// files gives each noisy figure a spread, which sets its margin.
void compareSides(const std::vector<CompareDocument> &base, const std::vector<CompareDocument> &now,
                  Comparison *comparison);

// ---- Waivers: "rule.key [reason]" a line, "rule.prefix*" for many, '#' to the line's end a comment

struct Waiver {
    std::string pattern;
    std::string reason;
    int line;
    bool used;
};
// Reads the waiver file. False with *error naming the file and line of what it cannot take.
bool readWaivers(const char *path, std::vector<Waiver> *waivers, std::string *error);
// Marks each regression a waiver matches waived, and lists the waivers that matched nothing.
void applyWaivers(std::vector<Waiver> *waivers, Comparison *comparison);

// ---- Output

// "rule.key".
std::string findingName(const Finding &finding);
// The comparison as text on stdout, and as its JSON document.
void printComparison(const Comparison &comparison, int exitCode);
void writeComparisonDocument(const Comparison &comparison, int exitCode);
// The comparison as JUnit XML (a test case per rule, and one per finding) and as Markdown for a
// pull request's comment. EXIT_FINE, or EXIT_USAGE when the file cannot be written.
int writeCompareJunit(const char *path, const Comparison &comparison);
int writeCompareMarkdown(const char *path, const Comparison &comparison, int exitCode);
// Writes the whole text to the file: EXIT_FINE, or EXIT_USAGE naming `what` and the file.
int writeWholeFile(const char *path, const std::string &text, const char *what);

// The command's whole work on files the user named: its exit status (0 no regression, 1 one or
// more, 2 unreadable or unlike files, or nothing comparable). The bench calls it too.
int runCompare(const CheckerOptions &options);
