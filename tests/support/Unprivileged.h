#pragma once

#include <functional>

// Runs a check without the power to override file permissions, so that access-denied paths can be
// tested under root too: as root the check runs in a child process that has become "nobody". The
// result is the check's own value (0 to 125), or -1 when the child could not run it.
int runUnprivileged(const std::function<int()>& check);
