// The integrity analysis of every channel at once, through the worker's own readers.
#pragma once

// One table: 8, 32, 64 and 128 channels at 192 kHz, clean, with every lock lost to noise and with
// every input foreign noise (every output searched for), against the need of that many channels in
// real time. False when an analysis was wrong.
bool runEveryChannel(int rounds, long samples);
