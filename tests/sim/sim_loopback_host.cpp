#include "sim_loopback_host.h"

#include <string.h>

LoopbackHost g_host;

namespace {

long inputFor(long channel) {
    for (long i = 0; i < g_host.count; i++) {
        if (g_host.infos[i].isInput && g_host.infos[i].channelNum == channel)
            return i;
    }
    return -1;
}

size_t sampleBytesOf(long element) {
    return (size_t)(g_host.elementBytes[element] ? g_host.elementBytes[element] : g_host.sampleBytes);
}

size_t bytesToCopy(long input, long output) {
    size_t in = sampleBytesOf(input), out = sampleBytesOf(output);
    size_t perSample = in < out ? in : out;
    if (g_host.fault == HostFault::FourBytes)
        perSample = 4;
    else if (g_host.fault == HostFault::OutputLength)
        perSample = out;
    else if (g_host.fault == HostFault::InputLength)
        perSample = in;
    return perSample * (size_t)g_host.frames;
}

void bufferSwitch(long index, long) {
    LONG number = InterlockedIncrement(&g_host.callbacks);
    if (number <= 64) {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        g_host.startedAt[number - 1] = now.QuadPart;
    }
    bool faultDone = false;
    for (long o = 0; o < g_host.count; o++) {
        const ASIOBufferInfo &output = g_host.infos[o];
        if (output.isInput)
            continue;
        auto *out = (unsigned char *)output.buffers[index];
        long inputIndex = inputFor(output.channelNum);
        const ASIOBufferInfo *input = inputIndex >= 0 ? &g_host.infos[inputIndex] : nullptr;
        if (!input) {
            if (g_host.fault == HostFault::UnpairedOutput && !faultDone) {
                out[0] = 0;
                faultDone = true;
            }
            continue;
        }
        auto *in = (unsigned char *)input->buffers[index];
        size_t bytes = bytesToCopy(inputIndex, o);
        memcpy(out, in, g_host.fault == HostFault::ShortCopy ? bytes - 1 : bytes);
        if (g_host.fault == HostFault::PastEnd && !faultDone) {
            out[bytes] = 0;
            faultDone = true;
        }
        if (g_host.fault == HostFault::WritesInput && !faultDone) {
            in[0] ^= 0xFF;
            faultDone = true;
        }
    }
    if (number == g_host.stopAt)
        g_host.driver->stop();
    if (number == g_host.releaseAt)
        g_host.driver->Release();
}

}  // namespace

ASIOCallbacks g_callbacks = {bufferSwitch, nullptr, nullptr, nullptr};

void setHostLayout(const std::vector<std::pair<int, int>> &elements, long frames, long sampleBytes,
                   HostFault fault) {
    memset(&g_host, 0, sizeof g_host);
    for (const auto &element : elements) {
        g_host.infos[g_host.count].isInput = element.first;
        g_host.infos[g_host.count].channelNum = element.second;
        g_host.count++;
    }
    g_host.frames = frames;
    g_host.sampleBytes = sampleBytes;
    g_host.fault = fault;
}

bool waitForCallbacks(LONG count) {
    for (int i = 0; i < 3000 && g_host.callbacks < count; i++)
        Sleep(10);
    return g_host.callbacks >= count;
}

bool waitForZero(volatile LONG *counter) {
    for (int i = 0; i < 3000 && *counter != 0; i++)
        Sleep(10);
    return *counter == 0;
}
