// The writer of lpfscope, on the main thread: it takes the samples out of
// the sampler's ring and writes them as CSV rows, or shows them in the live
// view, so that output never holds up sampling; and it notices a board that
// is powered off.
#pragma once

#include "coreCheck.h"
#include "sampler.h"

#include <cstdint>

struct WriterResult {
    uint64_t written; // CSV rows that reached the output whole
    bool outputFailed;
    int outputError;  // errno of the failure
    bool boardGone;   // the stand-in or window file was removed or replaced
    SampleRateMeter meter; // the core's sample counter over every sample out of the ring
};

// The file a board serves, which goes away when it is powered off: `path`
// must keep naming the open `descriptor`. No path: the real device.
struct BoardWatch {
    const char *path;
    int descriptor;
};

// Runs until the sampler has finished and every sample is out; asks it to
// stop on SIGINT, SIGTERM, SIGHUP or SIGQUIT, a failing output or a board
// that went away.
WriterResult runWriter(Sampling &sampling, bool view, const BoardWatch &board);
