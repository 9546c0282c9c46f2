// fpsim --replay: a printer played back from a trace that fpusbd --record wrote (di/trace.h),
// in the model's place. Each request must be the next one the trace holds, and is answered as
// the recorded printer answered it; the socket goes and comes back where the recorded one
// did, after as long as it was away. A request the trace does not have there ends the replay,
// naming it and the trace's line, and fpsim fails.
#pragma once

#include <cstdint>
#include <vector>

#include "di/kit.h"

// Reads the trace. Returns false, having complained, when it can't be read or is no trace.
bool replay_load(const char* path);

// Plays what the trace holds before its next request, as far as its time has come. Returns
// whether the printer's interface is published now.
bool replay_published();

// When the interface is due back, as di_now_ms; -1 when nothing waits for the clock.
long long replay_due();

// Answers request `r` of connection `id` as the trace does: `*ok`, `*count` and a READ's
// `data` (DI_TRANSFER_MAX bytes of room); `*cut` when the recorded printer cut that connection
// right after. Returns false when the trace has another request there, or none: the replay
// is over.
bool replay_answer(int id, const di_request& r, bool* ok, uint32_t* count, uint8_t* data,
                   bool* cut);

// Whether a request went where the trace has none.
bool replay_diverged();

// The image's records the printer took (WRITEs of a record's length, answered whole), one
// equal to the last it took being that record sent again: what --save writes.
const std::vector<uint8_t>& replay_kept();
