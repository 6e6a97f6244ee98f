#pragma once

#include "jobs/procstate.h"

// Chooses the filter mode of a file by compressing its first 128 KiB with each of the modes 1..5
// and keeping the smallest result; ties go to the higher mode. Nothing is written anywhere: each
// trial's output is only counted.
//
// On entry `src` is open at its start, `srclen` and `nSrcLeft` hold the input's size, `modeCompress`
// is set and the rest of the state is reset. On return `currOptim` holds the chosen mode, `srclen`
// its value from entry, the cursors are 0, `src` is at its start again, and `progress` has advanced
// by 10 with a post for each step. A trial whose work memory was refused is left out of the choice.
// Returns false, with `nError` set, when no trial could run or the input could not be read.
bool Analyze(ProcState& s);
