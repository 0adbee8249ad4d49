// Output of the benchmark: every line starts with the architecture it was measured on
// ("[x86] " or "[x64] "), so that figures of the two builds can be told apart side by side.
#pragma once

const char *benchmarkArchitecture();
void benchmarkPrint(const char *format, ...) __attribute__((format(gnu_printf, 1, 2)));
