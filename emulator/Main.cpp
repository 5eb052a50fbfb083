#include "emulator/Instrument.h"
#include <cstdio>
int main() { std::puts ("talvek-instrument: work in progress"); return 1; }
