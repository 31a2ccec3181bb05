// When the computer is kept from falling asleep: from a mains failure (or the start of
// a sequence, whatever started it) until mains returns or the sequence comes to its
// request to Windows, which is a power-off or a hibernation of its own. A stop lets go.
#pragma once

#include "monitor/monitor_seams.h"
#include "monitor/monitor_state.h"

// Holds or lets go of the request as the state says; the seam is called on a change only.
void KeepAwakeAsTheOutageNeeds(MonitorState& state, const MonitorSeams& seams);

// The sequence comes to its request to Windows: the computer may sleep from now on.
void LetTheComputerSleep(MonitorState& state, const MonitorSeams& seams);
