// The shutdown sequence's last step: Windows is asked to power off, or, with
// OS_SHUTDOWN=hibernate, to hibernate, falling back to the power-off whenever the
// hibernation is refused or does not come, so the computer never stays up on a dying
// battery.
#pragma once

#include <cstdint>

#include "monitor/monitor_seams.h"
#include "monitor/monitor_state.h"

// How long the computer may keep running after Windows accepted the hibernation before
// the power-off is asked instead; measured on UnbiasedNow(), which stands still while
// the computer hibernates, so a wake never counts as a hibernation that did not come.
constexpr int64_t kHibernateLimitTicks = 60 * 10000000LL;

// Makes or follows up the request. 1 while Windows has accepted a power-off or a
// hibernation that is still within its limit (a hibernation under way is not asked for
// again); 0 when the power-off was refused (the next pass asks again).
//
//   OS_SHUTDOWN  hibernation                          what is asked         line
//   poweroff     -                                    power-off             OS_Shutdown_is_started
//   hibernate    accepted                             hibernation           OS_Hibernate_is_started
//   hibernate    refused or unavailable               power-off             Hibernation_did_not_happen, then the power-off's
//   hibernate    accepted, still running after limit  power-off             Hibernate:Timeout, Hibernation_did_not_happen, ...
//
// OS_Hibernate_is_started is written, with its event, just before the request, so a
// request that SetSuspendState then refuses has it before its error line and
// Hibernation_did_not_happen. Once Windows has said that it is shutting down
// (MonitorNoteSystemShutdown), nothing more is asked of it: 1, and "OSShutdown:UnderWay"
// where the power-off would have been asked for.
int32_t RunOsStep(MonitorState& state, const MonitorSeams& seams);
