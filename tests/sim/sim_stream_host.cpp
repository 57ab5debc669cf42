#include "sim_stream_host.h"
#include "simdevice/sim_asio_abi.h"

#include <math.h>
#include <stdint.h>
#include <string.h>

StreamHost g_stream;

namespace {

int bytesOf(long type) {
    return type == SIM_ST_INT16_LSB ? 2 : type == SIM_ST_INT24_LSB ? 3 : 4;
}

double readSample(const unsigned char *at, long type) {
    if (type == SIM_ST_FLOAT32_LSB) {
        float value;
        memcpy(&value, at, sizeof value);
        return value;
    }
    int32_t whole = 0;
    memcpy(&whole, at, (size_t)bytesOf(type));
    int bits = 8 * bytesOf(type);
    whole = (int32_t)((uint32_t)whole << (32 - bits)) >> (32 - bits);  // sign-extended
    return whole / ldexp(1.0, bits - 1);
}

void writeSample(unsigned char *at, long type, double value) {
    if (type == SIM_ST_FLOAT32_LSB) {
        float f = (float)value;
        memcpy(at, &f, sizeof f);
        return;
    }
    auto whole = (int32_t)floor(value * ldexp(1.0, 8 * bytesOf(type) - 1) + 0.5);
    memcpy(at, &whole, (size_t)bytesOf(type));
}

void record(long index, const ASIOTime *time, bool viaTimeInfo) {
    LONG n = g_stream.calls;
    if (n >= STREAM_MAX_CALLS)
        return;
    StreamCall &call = g_stream.call[n];
    call.arrivedNs = nowNs();
    call.thread = GetCurrentThreadId();
    call.index = index;
    call.viaTimeInfo = viaTimeInfo;
    call.timeInfo = time != nullptr;
    if (time) {
        const ASIOTimeInfo &info = time->timeInfo;
        call.flags = info.flags;
        call.rate = info.sampleRate;
        call.speed = info.speed;
        call.position = (unsigned long long)info.samplePosition.hi << 32 | info.samplePosition.lo;
        call.systemNs = (unsigned long long)info.systemTime.hi << 32 | info.systemTime.lo;
    }
    if (g_stream.driver) {
        ASIOSamples position = {};
        ASIOTimeStamp stamp = {};
        call.positionError = g_stream.driver->getSamplePosition(&position, &stamp);
        call.readPosition = (unsigned long long)position.hi << 32 | position.lo;
        call.readNs = (unsigned long long)stamp.hi << 32 | stamp.lo;
    }
    long long first = (long long)n * g_stream.frames;
    if ((index == 0 || index == 1) && first + g_stream.frames <= STREAM_MAX_FRAMES) {
        int bytes = bytesOf(g_stream.type);
        for (int i = 0; i < 2; i++) {
            auto *in = (const unsigned char *)g_stream.infos[i].buffers[index];
            for (long f = 0; f < g_stream.frames; f++)
                g_stream.received[i][first + f] = readSample(in + f * bytes, g_stream.type);
        }
        auto *out = (unsigned char *)g_stream.infos[3].buffers[index];
        for (long f = 0; g_stream.writesCounter && f < g_stream.frames; f++)
            writeSample(out + f * bytes, g_stream.type, counterAt(first + f));
    }
    InterlockedIncrement(&g_stream.calls);  // a waiter sees whole records
}

void streamSwitch(long index, long) {
    record(index, nullptr, false);
}

ASIOTime *streamTimeInfo(ASIOTime *time, long index, long) {
    record(index, time, true);
    return nullptr;
}

void note(long selector, long value, const void *message, const double *opt, double rate) {
    LONG n = g_stream.noteCount;
    if (n >= STREAM_MAX_NOTES)
        return;
    g_stream.notes[n] = {selector, value, message, opt, rate, GetCurrentThreadId(), g_stream.calls};
    InterlockedIncrement(&g_stream.noteCount);
}

// The message and opt pointers are noted, never read: a driver may pass anything.
long streamMessage(long selector, long value, void *message, double *opt) {
    if (selector == SIM_MSG_SELECTOR_SUPPORTED) {
        if (value == SIM_MSG_SUPPORTS_TIME_INFO)
            return g_stream.timeInfoAnswer;
        return value > 0 && value < 32 && (g_stream.supports >> value & 1);
    }
    note(selector, value, message, opt, 0);
    return selector == SIM_MSG_SUPPORTS_TIME_INFO ? g_stream.timeInfoAnswer : 0;
}

void streamRateChanged(double rate) {
    note(0, 0, nullptr, nullptr, rate);
}

}  // namespace

ASIOCallbacks g_streamCallbacks = {streamSwitch, streamRateChanged, streamMessage, streamTimeInfo};

std::vector<StreamNote> streamNotes(long selector) {
    std::vector<StreamNote> notes;
    for (LONG i = 0; i < g_stream.noteCount; i++) {
        if (g_stream.notes[i].selector == selector)
            notes.push_back(g_stream.notes[i]);
    }
    return notes;
}

bool waitForStreamNote(long selector) {
    for (int i = 0; i < 500 && streamNotes(selector).empty(); i++)
        Sleep(10);
    return !streamNotes(selector).empty();
}

void setStreamHost(long frames, long type) {
    memset(&g_stream, 0, sizeof g_stream);
    for (int i = 0; i < 4; i++) {
        g_stream.infos[i].isInput = i < 2;
        g_stream.infos[i].channelNum = i % 2;
    }
    g_stream.frames = frames;
    g_stream.type = type;
}

double counterAt(long long frame) {
    return (frame % 2 ? -1 : 1) * (0.25 + (double)(frame + 1) / 16384);
}

double expectedAt(long long frame, long long roundTrip) {
    return frame >= roundTrip ? counterAt(frame - roundTrip) : 0;
}

// Periods here are 2 ms at most: a clock that does not run fails in seconds.
bool waitForStreamCalls(LONG count) {
    for (LONG i = 0; i < 200 + count && g_stream.calls < count; i++)
        Sleep(10);
    return g_stream.calls >= count;
}

unsigned long long nowNs() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    auto t = (unsigned long long)counter.QuadPart, f = (unsigned long long)frequency.QuadPart;
    return t / f * 1000000000ull + t % f * 1000000000ull / f;
}

SimConfig SimStreamTest::streamConfig(long periodUs) {
    SimConfig config;
    simDefaultConfig(&config);
    config.periodUs = periodUs;
    return config;
}

IASIO *SimStreamTest::prepare(const SimConfig &config) {
    device = &registerDevice(config);
    IASIO *driver = load(*device);
    if (driver && driver->createBuffers(g_stream.infos, 4, g_stream.frames, &g_streamCallbacks) !=
                      ASE_OK) {
        driver->Release();
        return nullptr;
    }
    return driver;
}
