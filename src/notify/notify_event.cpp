#include "notify/notify_event.h"

const char* NotifyEventName(NotifyEvent event) {
    switch (event) {
    case NotifyEvent::OnBattery:
        return "ONBATT";
    case NotifyEvent::Online:
        return "ONLINE";
    case NotifyEvent::LowBattery:
        return "LOWBATT";
    case NotifyEvent::CommBad:
        return "COMMBAD";
    case NotifyEvent::CommOk:
        return "COMMOK";
    case NotifyEvent::Shutdown:
        return "SHUTDOWN";
    case NotifyEvent::CommandFailed:
        return "CMDFAIL";
    case NotifyEvent::ShutdownFailed:
        return "SHUTDOWNFAIL";
    }
    return "UNKNOWN";
}
