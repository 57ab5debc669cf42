// quorvelcheck: the console checker of ASIO drivers. It shares the dialog programs' scan, loading,
// report figures and loopback handler (quorvel_core) and shows what the dialog cannot: every
// channel, the rates a driver accepts, its claimed and its real latency, the timing of its buffer
// switches, a conformance checklist, the integrity of every sample, and all of it as JSON and on
// one HTML page.
//
// The checker is built in layers, each a folder with a chief header; a layer includes only those
// below it (docs/development.md):
//   base/base.h          the command line, errors and texts, the JSON writer
//   measure/measure.h    the callbacks' side and the pure judgements
//   session/session.h    the worker process, the driver a command works on, a run of the loopback
//   commands/commands.h  list, info, run, latency (and its sweep), integrity: records and output
//   conform/conform.h    the conformance checks
//   cycles/cycles.h      the driver opened and closed over and over, clean and dirty
//   soak/soak.h          one long stream: rate error and its trend, glitches, the sample position
//   report/report.h      the HTML page of every part
//   compare/compare.h    a new driver build's documents against the last one's (no driver)
// This file is the top: the program's table of commands and records, handed down at start.
#pragma once

// Hands the program's tables of commands and records down to the layers that use them (useCommands,
// useRecords). checkerMain does it first; a test that parses command lines does it itself.
void useProgramTables();
// The program: a user's command, or a worker's session (the same program started by itself).
// Returns the exit status.
int checkerMain(int argc, char **argv);
