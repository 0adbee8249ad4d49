// Prints the cost of the library's hot paths beside the platform work they cannot avoid, for the
// architecture it was built for. Run: scripts/benchmark.sh (each architecture this machine runs),
// or build/x64/wine-run.sh build/x64/bin/korvat_benchmark.exe
#include <cstdarg>
#include <cstdio>

#include "BenchmarkPrint.h"

void runLogBenchmark();
void runReaderBenchmark();

const char *benchmarkArchitecture()
{
    return sizeof(void *) == 8 ? "x64" : "x86";
}

void benchmarkPrint(const char *format, ...)
{
    std::printf("[%s] ", benchmarkArchitecture());
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
}

int main()
{
    runLogBenchmark();
    runReaderBenchmark();
    return 0;
}
