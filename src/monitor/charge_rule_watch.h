// The SHUTDOWN_CHARGE rule never goes blind without a word: when no charge has been read
// for 30 s on battery power (the query hangs, fails or is never answered), the event log
// gets a line and the Windows event log a warning that the rule cannot see the charge.
// WAIT_TIME and the low-battery rule hold meanwhile; the line repeats at most once an
// hour while it lasts, and comes at once again after a charge has been read.
#pragma once

#include <cstdint>

#include "config/settings.h"
#include "monitor/monitor_state.h"

constexpr int64_t kChargeUnseenLimitSeconds = 30;

// Once a pass. `now` is an UnbiasedNow() reading.
void WatchChargeRule(const MonitorState& state, const Settings& settings, int64_t now);

// Forgets the lines written, for tests.
void ResetChargeRuleWatchForTest();
