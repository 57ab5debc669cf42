// The integrity analysis of every channel at once, through the worker's own readers.
#pragma once

// One table: 8, 32, 64 and 128 channels at 192 kHz, clean, with every lock lost to noise and with
// every input foreign noise (every output searched for), against the need of that many channels in
// real time. False when an analysis was wrong.
bool runEveryChannel(int rounds, long samples);
// integrity --all fed at the real period of 128 channels at 192 kHz for `seconds`, every lock lost
// to noise, while a thread spins on one core: the blocks the ring dropped, the ring's size, and
// the goal of none dropped. False when an analysis was wrong or there was no memory.
bool runDroppedBlocks(double seconds);
