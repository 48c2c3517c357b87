#include "base/VornClock.h"

#include <chrono>

uint64_t vornNowMs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}
