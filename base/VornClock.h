#pragma once

#include <cstdint>

// The program's time base: wall-clock milliseconds since 1 January 1970.
uint64_t vornNowMs();
