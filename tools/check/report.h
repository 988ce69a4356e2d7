// slotrec-check's two ways of saying what it found: a table a person reads
// at a glance (a line per segment, a summary, the problems by name), and
// one JSON document for scripts.
#pragma once

#include <cstdio>
#include <vector>

#include "tools/check/run_check.h"

namespace check {

void PrintTable(std::FILE* out, const RunCheck& run);

// {"runs": [...], "status": N}; see the manual page for the fields.
void PrintJson(std::FILE* out, const std::vector<RunCheck>& runs, int status);

}  // namespace check
