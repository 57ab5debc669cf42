// The report's page from records filled by hand: a driver of 128 channels, a run of 100,000
// switches, a sweep and an integrity run; read back with the strict XML reader.
#include "checker/report/report.h"
#include "tests/support/report_records.h"
#include "tests/support/xml_reader.h"

#include <gtest/gtest.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <string>

namespace {

// The page of a driver with 128 channels and a run of 100,000 switches, read back.
struct SamplePage {
    SampleRecords records;
    std::string text;
    XmlElement html;
    std::string error;
    bool parsed;
};

SamplePage *samplePage()
{
    static SamplePage page;
    fillSampleReport(&page.records, 128, 100000, true);
    page.text.clear();
    writeReportPage(page.records.report, &page.text);
    page.parsed = parseXml(page.text, &page.html, &page.error);
    return &page;
}

// The summary's row of a part; null when there is none.
const XmlElement *summaryRow(const XmlElement &page, const char *part)
{
    for (const XmlElement *row : page.byId("summary")->elements("tr")) {
        if (row->elements("th").size() == 1 && row->elements("th")[0]->allText() == part)
            return row;
    }
    return nullptr;
}

// Its verdict badge and its whole text.
std::string badge(const XmlElement &page, const char *part)
{
    const XmlElement *row = summaryRow(page, part);
    return row && !row->elements("span").empty() ? row->elements("span")[0]->allText() : "";
}

std::string summary(const XmlElement &page, const char *part)
{
    const XmlElement *row = summaryRow(page, part);
    return row ? row->allText() : "";
}

TEST(ReportPageTest, APageOf128ChannelsAndAHundredThousandSwitchesIsCleanSelfContainedAndCapped)
{
    SamplePage *sample = samplePage();
    const Report &report = sample->records.report;
    const std::string &page = sample->text;
    const XmlElement &html = sample->html;
    EXPECT_LT(page.size(), 300u * 1024) << "binned and capped: it does not grow with the run";
    ASSERT_TRUE(sample->parsed) << sample->error;
    EXPECT_EQ(html.name, "html");
    EXPECT_EQ(html.attribute("xmlns"), "http://www.w3.org/1999/xhtml");
    EXPECT_TRUE(html.elements("script").empty());
    EXPECT_TRUE(html.elements("img").empty());
    EXPECT_TRUE(html.elements("link").empty());
    EXPECT_EQ(page.find("url("), std::string::npos);
    EXPECT_EQ(page.find("@import"), std::string::npos);
    EXPECT_NE(page.find("@media print"), std::string::npos);
    EXPECT_NE(html.elements("h1")[0]->allText().find("Big M\xC3\xBCller Interface"), std::string::npos)
        << "the driver's code page text is UTF-8 on the page";

    for (const char *id : {"summary", "info", "conform", "run", "sweep", "integrity", "json"})
        EXPECT_NE(html.byId(id), nullptr) << id;
    const char *verdicts[][2] = {{"info", "PASS"}, {"conform", "FAIL"}, {"run", "PASS"},
                                 {"latency sweep", "FAIL"}, {"integrity", "FAIL"}};
    for (const auto &v : verdicts)
        EXPECT_EQ(badge(html, v[0]), v[1]) << v[0];
    EXPECT_EQ(summary(html, "info"), "PASSinfoexit status 0 (fine)");
    // Every check passes but the one warning, the one failure and the five not run.
    EXPECT_NE(summary(html, "conform").find(std::to_string(CHECK_COUNT - 7) + " PASS, 1 WARN, 1 FAIL, 5 not run"),
              std::string::npos)
        << summary(html, "conform");
    EXPECT_NE(summary(html, "run").find("100000 switches in 533.33 s, 7 late; at least one "
                                        "switch: passed"), std::string::npos);
    EXPECT_NE(summary(html, "latency sweep").find("11 of 12 settings measured, 1 outside"),
              std::string::npos);
    EXPECT_NE(summary(html, "integrity").find("exit status 4 (the driver crashed, hung or ended "
                                              "the process)"), std::string::npos);
    EXPECT_NE(summary(html, "integrity").find("access violation"), std::string::npos);

    // The driver's reset request, followed, and the stream after it judged apart.
    std::string run = html.byId("run")->allText();
    EXPECT_NE(run.find("PASSReset requested 530 ms into the run (after switch 100), on a driver "
                       "thread (id 1234): the checker followed it"), std::string::npos) << run;
    EXPECT_NE(run.find("Changed: preferred size 256 -> 512"), std::string::npos) << run;
    EXPECT_NE(run.find("The first switch after it came 108.0 ms after the request"), std::string::npos);

    // Each channel table: 32 rows and a row saying what was left out.
    const XmlElement *infoSection = html.byId("info");
    ASSERT_NE(infoSection, nullptr);
    std::vector<const XmlElement *> tables = infoSection->elements("table");
    ASSERT_EQ(tables.size(), 3u);
    for (int k = 1; k <= 2; k++) {
        std::vector<const XmlElement *> rows = tables[k]->elements("tr");
        ASSERT_EQ(rows.size(), 1u + 32 + 1);
        EXPECT_NE(rows[1]->allText().find(k == 1 ? "In 1" : "Out 1"), std::string::npos);
        EXPECT_EQ(rows.back()->allText(), "... 96 more channels, listed in the JSON document below");
    }

    // The checklist: every check, with its verdict and evidence as given.
    std::string checklist = html.byId("conform")->allText();
    for (int c = 0; c < CHECK_COUNT; c++)
        EXPECT_NE(checklist.find(checkDefinitions[c].id), std::string::npos) << c;
    EXPECT_NE(checklist.find("FAILbuffers.pointers"), std::string::npos);
    EXPECT_NE(checklist.find("buffers <0> & \"1\" overlap"), std::string::npos);

    // Every part's JSON document, collapsed, character for character.
    std::vector<const XmlElement *> documents = html.byId("json")->elements("pre");
    ASSERT_EQ(documents.size(), static_cast<size_t>(REPORT_PARTS));
    for (int k = 0; k < REPORT_PARTS; k++)
        EXPECT_EQ(documents[k]->allText(), report.parts[k].json) << k;
    EXPECT_EQ(html.byId("json")->elements("details").size(), static_cast<size_t>(REPORT_PARTS));
    EXPECT_FALSE(html.byId("json")->elements("details")[0]->hasAttribute("open"));
}

double number(const XmlElement *node, const char *key)
{
    return atof(node->attribute(key).c_str());
}

TEST(ReportPageTest, ThePicturesDrawTheBinnedFiguresWithTheirMarks)
{
    SamplePage *sample = samplePage();
    ASSERT_TRUE(sample->parsed) << sample->error;
    const XmlElement &html = sample->html;
    std::vector<const XmlElement *> pictures = html.elements("svg");
    ASSERT_EQ(pictures.size(), 6u) << "histogram, timeline, processor time, sweep, events, bits";
    for (const XmlElement *svg : pictures) {
        EXPECT_EQ(svg->attribute("xmlns"), "http://www.w3.org/2000/svg");
        EXPECT_EQ(svg->attribute("viewBox").substr(0, 8), "0 0 680 ");
        EXPECT_FALSE(svg->hasAttribute("width")) << "it scales to the page";
    }

    // Histogram: one bar per bin that holds intervals, on a log scale; the late ones marked.
    std::vector<const XmlElement *> bars = pictures[0]->elements("rect");
    bars.pop_back();  // the frame
    ASSERT_EQ(bars.size(), 3u);
    EXPECT_EQ(bars[0]->attribute("class"), "bar");
    EXPECT_EQ(bars[2]->attribute("class"), "bar over");
    double ten = number(bars[0], "height"), most = number(bars[1], "height");
    EXPECT_GT(ten / most, 0.2) << "10 against 99,982 on a log scale";
    EXPECT_LT(ten / most, 0.3);
    std::string marks = pictures[0]->allText();
    EXPECT_NE(marks.find("late: 1.5 periods"), std::string::npos);
    EXPECT_NE(marks.find("100k"), std::string::npos);

    // Timeline: a band per stretch; the slip rises far above the others and falls back.
    std::vector<const XmlElement *> bands;
    for (const XmlElement *r : pictures[1]->elements("rect")) {
        if (r->attribute("class") == "band")
            bands.push_back(r);
    }
    ASSERT_EQ(bands.size(), static_cast<size_t>(TIMING_TIMELINE_BINS));
    double usual = number(bands[0], "y");
    double slip = number(bands[SAMPLE_SLIP_STRETCH], "y");
    double after = number(bands[SAMPLE_SLIP_STRETCH + 1], "y");
    EXPECT_LT(slip, usual - 100) << "20 ms late stands out";
    EXPECT_LT(slip, after);
    EXPECT_LT(after, usual);
    EXPECT_EQ(number(bands[SAMPLE_SLIP_STRETCH + 2], "y"), usual) << "caught up";

    // Processor time: the driver's 38.2%, the callback's 0.4% and the checker's 1.4% of one core,
    // end to end from the frame's left.
    std::vector<const XmlElement *> shares = pictures[2]->elements("rect");
    ASSERT_GE(shares.size(), 6u);
    double core = 680 - 12 - 64;
    EXPECT_EQ(number(shares[0], "x"), 64);
    EXPECT_NEAR(number(shares[0], "width"), core * 0.382, 0.2);
    EXPECT_NEAR(number(shares[2], "x"), 64 + core * 0.382, 0.2);
    EXPECT_NEAR(number(shares[4], "width"), core * 0.014, 0.2);
    EXPECT_NE(pictures[2]->allText().find("driver 38.2%"), std::string::npos);

    // Sweep: measured and reported lines per rate, the difference at every measured setting.
    std::vector<const XmlElement *> lines = pictures[3]->elements("polyline");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0]->attribute("class"), "measured c0");
    EXPECT_EQ(lines[1]->attribute("class"), "reported c0");
    int differences = 0, outside = 0;
    for (const XmlElement *l : pictures[3]->elements("line")) {
        differences += l->attribute("class").find("difference") == 0;
        outside += l->attribute("class") == "difference outside";
    }
    EXPECT_EQ(differences, 11);
    EXPECT_EQ(outside, 1);

    // Integrity: a tick per kept event in its kind's lane, the counts beside; 22 of 24 bits clear.
    int ticks = 0;
    for (const XmlElement *l : pictures[4]->elements("line"))
        ticks += l->attribute("class").find("event k") == 0;
    EXPECT_EQ(ticks, MAX_INTEGRITY_EVENTS);
    EXPECT_NE(pictures[4]->allText().find("dropped 420"), std::string::npos);
    int clear = 0, differed = 0;
    for (const XmlElement *r : pictures[5]->elements("rect")) {
        clear += r->attribute("class") == "ok";
        differed += r->attribute("class") == "bad";
    }
    EXPECT_EQ(clear, 22);
    EXPECT_EQ(differed, 2);
}

TEST(ReportPageTest, TheXmlReaderRefusesWhatABrowserForgives)
{
    XmlElement root;
    EXPECT_TRUE(parseXml("<!DOCTYPE html>\n<p a=\"&lt;&#233;\">x &amp; y<br/></p>\n", &root, nullptr));
    EXPECT_EQ(root.attribute("a"), "<\xC3\xA9");
    EXPECT_EQ(root.allText(), "x & y");
    const char *const refused[] = {
        "<p>a<br></p>",              // not closed
        "<p><b>a</p></b>",           // not nested
        "<p a=1/>",                  // not quoted
        "<p a=\"1\" a=\"2\"/>",      // given twice
        "<p>AT&T</p>",               // a bare ampersand
        "<p>&nbsp;</p>",             // an HTML entity
        "<p>a < b</p>",              // a bare '<'
        "<p>\x01</p>",               // a control character
        "<p>\xFC</p>",               // code page text, not UTF-8
        "<p/><p/>",                  // two roots
    };
    for (const char *text : refused)
        EXPECT_FALSE(parseXml(text, &root, nullptr)) << text;
}

}  // namespace
