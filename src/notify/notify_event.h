// The power events an administrator can be told of through NOTIFY_CMD: each has a fixed
// English name, handed to the command as its first argument and in VOLTWARDEN_EVENT.
#pragma once

#include <cstdint>
#include <string>

enum class NotifyEvent {
    OnBattery,       // ONBATT: mains power failed
    Online,          // ONLINE: mains power restored
    LowBattery,      // LOWBATT: the UPS reported a low battery
    CommBad,         // COMMBAD: the UPS was lost
    CommOk,          // COMMOK: the UPS connected again after a loss
    Shutdown,        // SHUTDOWN: the shutdown sequence begins
    CommandFailed,   // CMDFAIL: the external command failed or was refused
    ShutdownFailed,  // SHUTDOWNFAIL: Windows refused the shutdown
};

constexpr int kNotifyEventCount = 8;

// "ONBATT", "ONLINE", ... as listed above.
const char* NotifyEventName(NotifyEvent event);

// One event to be told: its text in the display language, and what was known of the UPS
// when it happened (charge -1: not known).
struct Notification {
    NotifyEvent Event = NotifyEvent::OnBattery;
    std::string Text;
    int32_t Charge = -1;
};
