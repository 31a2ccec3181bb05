// Whether the charge rule can see the charge.
#include "monitor/charge_rule_watch.h"

#include "common/clock.h"
#include "log/repeated_failure_log.h"
#include "log/windows_event.h"
#include "messages/message_table.h"

namespace {

// Never destroyed, like every other object the service's threads share.
RepeatedFailureLog& UnseenLog() {
    static auto* log = new RepeatedFailureLog;
    return *log;
}

}  // namespace

void WatchChargeRule(const MonitorState& state, const Settings& settings, int64_t now) {
    // On battery as far as is known: a UPS that has not yet said what holds now since a
    // reconnection gives no charge either, and the rule is just as blind.
    const bool ruleWatches = settings.ShutdownCharge > 0 && state.AcFail.load() == 1;
    if (!ruleWatches) {
        UnseenLog().Succeeded();
        return;
    }
    const int64_t seenAt = state.ChargeSeenAt.load();
    const int64_t failedAt = state.AcFailStart.load();
    const int64_t since = seenAt > failedAt ? seenAt : failedAt;
    if (now - since <= kChargeUnseenLimitSeconds * kTicksPerSecond) {
        if (seenAt > failedAt) UnseenLog().Succeeded();
        return;
    }
    if (UnseenLog().Failed(MessageText("Battery_charge_unreadable"))) {
        ReportWindowsEvent(kEventTypeWarning, kEventBatteryChargeUnreadable);
    }
}

void ResetChargeRuleWatchForTest() { UnseenLog().Succeeded(); }
