// integrity --all's pure parts: channel lists and maps, a sample naming the output it came from,
// the analysis finding which of many outputs arrives, the routing verdicts, the skew, and the ring
// handing every block to several readers.
#include "checker/commands/commands.h"
#include "checker/measure/integrity_parts.h"

#include <gtest/gtest.h>
#include <atomic>
#include <functional>
#include <string.h>
#include <thread>
#include <vector>

namespace {

TEST(RouteListsTest, ListsAndMapsGiveTheirChannelsInOrderAndRefuseTheRest)
{
    long channels[MAX_ROUTE_CHANNELS];
    ASSERT_EQ(parseChannelList("0,1,4-7,127", channels), 7);
    const long expected[] = {0, 1, 4, 5, 6, 7, 127};
    EXPECT_EQ(memcmp(channels, expected, sizeof expected), 0);
    EXPECT_EQ(parseChannelList("0-127", channels), 128);
    for (const char *bad : {"", "1,", ",1", "1-", "3-2", "1,1", "0-3,2", "128", "1x", "-1", "1 2"})
        EXPECT_EQ(parseChannelList(bad, channels), -1) << bad;

    long outs[MAX_ROUTE_CHANNELS], ins[MAX_ROUTE_CHANNELS];
    ASSERT_EQ(parseRouteMap("0:3,1:2,1:5", outs, ins), 3);
    EXPECT_EQ(outs[1], 1);
    EXPECT_EQ(ins[2], 5);
    for (const char *bad : {"same", "0:1,2:1", "0:", ":1", "0-1:2", "0:1;1:2", "0:1,", "200:1"})
        EXPECT_EQ(parseRouteMap(bad, outs, ins), -1) << bad;
}

// Every output's words at any position: the pair of neighbours names the output and the position
// among the candidates, and no other output's words match them over LOCK_RUN samples.
TEST(RouteSequenceTest, TwoNeighboursNameTheOutputAndThePosition)
{
    prepareSequenceSearch();
    uint32_t state = 7;
    for (int output = 0; output < MAX_ROUTE_CHANNELS; output++) {
        state = state * 1664525u + 1013904223u;
        const int64_t position = (static_cast<int64_t>(state) & 0xFFFFFFF) | 1;
        const int64_t block = position >> SEQUENCE_BLOCK_BITS;
        if ((position & 0xFFFF) == 0)
            continue;
        SequenceCandidate found[16];
        int count = sequenceCandidates(sequenceHigh(position - 1, output), sequenceHigh(position, output),
                                       block - 2, block + 2, found, 16);
        int right = 0;
        for (int k = 0; k < count; k++)
            right += found[k].output == output && found[k].position == position;
        EXPECT_EQ(right, 1) << "output " << output << " at " << position;
        uint32_t mine[LOCK_RUN], other[LOCK_RUN];
        sequenceWords(32, output, position, LOCK_RUN, mine);
        sequenceWords(32, (output + 1) % MAX_ROUTE_CHANNELS, position, LOCK_RUN, other);
        EXPECT_NE(memcmp(mine, other, sizeof mine), 0);
    }
}

// Inputs that each carry one of 128 outputs (or nothing) at delays of their own: the analysis
// looking for all of them locks on the right one, at the right delay, and matches every sample.
TEST(RouteSequenceTest, TheAnalysisFindsWhichOfManyOutputsArrives)
{
    uint32_t all[MAX_ROUTE_CHANNELS / 32];
    memset(all, 0xFF, sizeof all);
    const int outputs[] = {0, 5, 127, 64, -1};
    const int64_t delays[] = {512, 515, 70000, 3, 0};
    for (int k = 0; k < 5; k++) {
        SCOPED_TRACE(outputs[k]);
        std::vector<uint32_t> words(200000, 0);
        if (outputs[k] >= 0)
            sequenceWords(24, outputs[k], 0, static_cast<long>(words.size() - delays[k]), &words[delays[k]]);
        static IntegrityAnalysis a;
        ASSERT_TRUE(beginIntegrityAnalysis(&a, 27, 96000, 150000));
        integrityOutputs(&a, all);
        for (size_t at = 0; at < words.size(); at += 256)
            analyseIntegrityBlock(&a, &words[at], nullptr, 256, at, at / 256, 0);
        finishIntegrityAnalysis(&a, 0);
        if (outputs[k] < 0) {
            EXPECT_EQ(a.results.state, INTEGRITY_NO_LOCK);
            EXPECT_EQ(a.results.output, -1);
        } else {
            EXPECT_EQ(a.results.state, INTEGRITY_LOCKED);
            EXPECT_EQ(a.results.output, outputs[k]);
            EXPECT_EQ(a.results.lockDelay, delays[k]);
            EXPECT_EQ(a.results.lockPosition, delays[k]);
            EXPECT_EQ(a.results.matched, static_cast<int64_t>(words.size()) - delays[k]);
        }
        endIntegrityAnalysis(&a);
    }
}

TEST(RoutingJudgementTest, EachInputGetsItsVerdictAndTheSkewItsEnds)
{
    struct Row {
        bool map;
        int expected, found;
        bool clean;
        int verdict;
    };
    const Row rows[] = {
        {false, NO_ROUTE, 3, true, ROUTE_FINE},     {false, NO_ROUTE, 3, false, ROUTE_FAULTY},
        {false, NO_ROUTE, NO_ROUTE, true, ROUTE_EMPTY},
        {true, 3, 3, true, ROUTE_FINE},             {true, 3, 3, false, ROUTE_FAULTY},
        {true, 3, NO_ROUTE, true, ROUTE_MISSING},   {true, 3, 4, true, ROUTE_WRONG},
        {true, NO_ROUTE, 4, true, ROUTE_UNEXPECTED}, {true, NO_ROUTE, NO_ROUTE, true, ROUTE_EMPTY},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(judgeRoute(row.map, row.expected, row.found, row.clean), row.verdict)
            << row.map << " " << row.expected << " " << row.found;
        EXPECT_EQ(routeFails(row.verdict), row.verdict != ROUTE_FINE && row.verdict != ROUTE_EMPTY);
    }

    const int64_t delays[] = {515, 512, 0, 517, 512};
    const bool found[] = {true, true, false, true, true};
    SkewFigures skew;
    judgeSkew(delays, found, 5, &skew);
    EXPECT_EQ(skew.routes, 4);
    EXPECT_EQ(skew.earliest, 1) << "the first of equals; a route not found is not the earliest";
    EXPECT_EQ(skew.latest, 3);
    EXPECT_EQ(skew.spread, 5);
    judgeSkew(delays, found, 1, &skew);
    EXPECT_EQ(skew.routes, 1);
    EXPECT_EQ(skew.spread, 0);
    const bool none[] = {false, false};
    judgeSkew(delays, none, 2, &skew);
    EXPECT_EQ(skew.earliest, -1);
}

// One callback thread against a ring read by three readers at their own pace (a full ring is
// tried again): each sees every block whole and in order, so none was handed back before all
// three were done with it.
TEST(RingReadersTest, EveryReaderGetsEveryBlockAndTheLastHandsItBack)
{
    SampleRing ring;
    ASSERT_TRUE(makeSampleRing(&ring, 16, 64 * sizeof(uint32_t)));
    const int READERS = 3;
    ring.readers = READERS;
    const uint32_t total = 20000;
    std::atomic<bool> done(false);
    std::thread producer([&] {
        std::vector<uint32_t> first(32), second(32);
        for (uint32_t n = 0; n < total;) {
            for (int k = 0; k < 32; k++)
                first[k] = second[k] = n;
            const void *parts[] = {first.data(), second.data()};
            const uint32_t sizes[] = {128, 128};
            if (fillRingBlockParts(&ring, n, parts, sizes, 2, n))
                n++;
            else
                std::this_thread::yield();
        }
        done = true;
    });
    std::vector<std::thread> readers;
    std::atomic<long> wrong(0);
    for (int r = 0; r < READERS; r++) {
        readers.emplace_back([&, r] {
            uint32_t next = 0;
            while (next < total) {
                const RingBlock *block = peekReaderBlock(&ring, r);
                if (!block) {
                    std::this_thread::yield();
                    continue;
                }
                const uint32_t *values = reinterpret_cast<const uint32_t *>(block->data);
                for (int k = 63; k >= 0; k--)
                    wrong += values[k] != next;
                wrong += block->switchNumber != next || block->bytes != 256;
                next++;
                releaseReaderBlock(&ring, r);
            }
        });
    }
    producer.join();
    for (std::thread &reader : readers)
        reader.join();
    EXPECT_TRUE(done);
    EXPECT_EQ(wrong.load(), 0);
    freeSampleRing(&ring);
}

}  // namespace
