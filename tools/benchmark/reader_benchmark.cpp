#include <cstdio>
void runReaderBenchmark() { std::printf("reader benchmark: not measured yet\n"); }
