// What the Windows test program finds: a line for each check, and a closing count.
#pragma once

// Records one check and prints "ok - what" or "FAIL - what".
void expect(bool passed, const char* what);

// Prints a line that passes or fails nothing.
void note(const char* what);

// Prints "N passed, N failed" and returns the program's exit code: 0 when nothing failed.
int summarize();
