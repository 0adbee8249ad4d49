// Prints the cost of the library's hot paths beside the platform work they cannot avoid.
// Run: build/wine-run.sh build/bin/korvat_benchmark.exe
#include <cstdio>

void runLogBenchmark();
void runReaderBenchmark();

int main()
{
    runLogBenchmark();
    runReaderBenchmark();
    return 0;
}
