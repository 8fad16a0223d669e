#pragma once

#include "tests/support/QtPrinting.h"

#include <QCoro/QCoroTask>

#include <chrono>
#include <functional>

namespace Tests {

using namespace std::chrono_literals;

// Runs the event loop until the condition holds or the time is up; says whether it held.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5s);
// Runs the event loop for a while.
void spin(std::chrono::milliseconds duration);
// Delivers every event already posted.
void drain();

} // namespace Tests
