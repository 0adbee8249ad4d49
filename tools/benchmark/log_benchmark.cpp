#include <cstdio>
void runLogBenchmark() { std::printf("log benchmark: not measured yet\n"); }
