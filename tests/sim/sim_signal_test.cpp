// The cable on the device's own clock: a host that writes a counter into output 1 finds it on
// input 0 after the true round trip, until the signal fault shows, exactly where the device's
// own account says it does; after it, the signal is what the fault makes of it.
#include "sim_stream_host.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

namespace {

const long kFrames = 32, kAt = 10, kCalls = 40, kConverters = 5 + 3;
const long long kTrip = 2 * kFrames + kConverters;
const double kSame = 1e-6;                     // every counter value is exact in each type

struct SignalCase {
    const char *fault;
    long type;
    const char *level;
    int bits;
};

void PrintTo(const SignalCase &c, std::ostream *out) {
    *out << c.fault << " on type " << c.type;
}

long long firstDifference(long long frames) {
    for (long long q = 0; q < frames; q++) {
        if (fabs(g_stream.received[0][q] - expectedAt(q, kTrip)) > kSame)
            return q;
    }
    return -1;
}

// What input 0 holds at frame q once the fault has shown at frame `shows`; NAN: not judged.
double afterFault(const SignalCase &c, long long q, long long shows) {
    std::string fault = c.fault;
    double plain = expectedAt(q, kTrip);
    if (fault == "drop")  // silence while the output re-primes, then one buffer later
        return q >= shows + 4 * kFrames ? expectedAt(q, kTrip + kFrames) : NAN;
    if (fault == "twice")  // the buffer before the repeated one comes back one buffer late
        return q >= shows + 2 * kFrames + kConverters ? plain : NAN;
    if (fault == "shift")
        return q == shows ? 0 : expectedAt(q, kTrip + 1);
    if (fault == "swap")
        return 0;  // the neighbour's silence
    if (fault == "invert")
        return -plain;
    if (fault == "gain")
        return plain * strtod(c.level, nullptr);
    if (fault == "bits")
        return floor(plain * ldexp(1, c.bits - 1)) / ldexp(1, c.bits - 1);
    return plain;  // noise: judged within its level
}

class SignalFaultTest : public SimStreamTest, public ::testing::WithParamInterface<SignalCase> {};

}  // namespace

TEST_P(SignalFaultTest, ShowsWhereTheDeviceSaysAndChangesTheSignalAsNamed) {
    const SignalCase &c = GetParam();
    SimConfig config = streamConfig(1000);
    config.sampleType = c.type;
    config.cableOut = 1;
    config.cableIn = 0;
    config.inputDelay = 5;
    config.outputDelay = kConverters - 5;
    strcpy(config.signalFault, c.fault);
    config.signalFaultAt = kAt;
    config.signalFaultBits = c.bits;
    strcpy(config.signalFaultLevel, c.level);
    setStreamHost(kFrames, c.type);
    g_stream.writesCounter = true;
    g_stream.timeInfoAnswer = 1;
    IASIO *driver = prepare(config);
    ASSERT_NE(nullptr, driver);
    EXPECT_EQ(kTrip, device->shared->trueRoundTrip);
    ASSERT_EQ(ASE_OK, driver->start());
    EXPECT_TRUE(waitForStreamCalls(kCalls));
    EXPECT_EQ(ASE_OK, driver->stop());
    const SimShared *shared = device->shared;
    const std::string fault = c.fault;

    // Everything before the fault came back after the true round trip.
    EXPECT_EQ(kAt, shared->faultPeriod);
    const long long shows = (shared->faultHostSwitch - 1ll) * kFrames + shared->faultHostOffset;
    EXPECT_EQ(firstDifference(kCalls * kFrames), shows);
    long wrong = 0, changed = 0;
    for (long long q = shows; q < kCalls * kFrames; q++) {
        double expected = afterFault(c, q, shows), got = g_stream.received[0][q];
        double allowed = fault == "noise" ? strtod(c.level, nullptr) + kSame : kSame;
        if (!isnan(expected) && fabs(got - expected) > allowed && wrong++ < 3)
            ADD_FAILURE() << "frame " << q << ": " << got << ", expected " << expected;
        changed += fabs(got - expectedAt(q, kTrip)) > kSame;
        if (fault == "swap")
            wrong += fabs(g_stream.received[1][q] - expectedAt(q, kTrip)) > kSame;
    }
    EXPECT_EQ(0, wrong);
    if (fault != "twice") {  // the others last
        EXPECT_GT(changed, (kCalls - kAt) * kFrames / 2);
    }

    EXPECT_EQ(fault == "drop" ? kTrip + kFrames : fault == "shift" ? kTrip + 1 : kTrip,
              shared->trueRoundTrip);
    EXPECT_EQ(fault == "drop", shared->drops);
    EXPECT_EQ(fault == "twice", shared->duplicates);
    const StreamCall *call = g_stream.call;
    if (fault == "drop") {  // callbacks kAt - 1 and kAt: periods kAt - 1 and kAt + 1
        EXPECT_EQ(call[kAt - 2].index, call[kAt - 1].index);
        EXPECT_EQ(call[kAt - 2].position + 2 * kFrames, call[kAt - 1].position);
        EXPECT_EQ(shared->hostSwitches + 1, shared->clockPeriods);
    }
    if (fault == "twice") {  // callbacks kAt and kAt + 1: both of period kAt, with the same input
        EXPECT_EQ(call[kAt - 1].index, call[kAt].index);
        EXPECT_EQ(call[kAt - 1].position, call[kAt].position);
        const double *in = g_stream.received[0];
        EXPECT_EQ(0, memcmp(in + (kAt - 1) * kFrames, in + kAt * kFrames, kFrames * sizeof *in));
    }
    EXPECT_EQ(0, shared->mismatches);
    EXPECT_EQ(0, shared->sentinelViolations);
    driver->Release();
}

INSTANTIATE_TEST_SUITE_P(Signal, SignalFaultTest,
                         ::testing::Values(SignalCase{"drop", SIM_ST_INT32_LSB, "", 0},
                                           SignalCase{"twice", SIM_ST_INT32_LSB, "", 0},
                                           SignalCase{"shift", SIM_ST_INT16_LSB, "", 0},
                                           SignalCase{"swap", SIM_ST_INT32_LSB, "", 0},
                                           SignalCase{"invert", SIM_ST_FLOAT32_LSB, "", 0},
                                           SignalCase{"bits", SIM_ST_INT32_LSB, "", 8},
                                           SignalCase{"noise", SIM_ST_INT32_LSB, "0.01", 0},
                                           SignalCase{"gain", SIM_ST_INT24_LSB, "0.5", 0}));
