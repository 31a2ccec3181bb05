// Watching the UPS again, from scratch, when the computer comes back without having
// been switched off: after a wake from hibernation or sleep, and after a power-off
// that Windows accepted but that did not happen (cancelled, `shutdown /a`).
#pragma once

#include "monitor/monitor_state.h"

// Looks at the state at the top of a pass and re-arms when it is due:
// - a resume was reported (MonitorRequestRearm) while no sequence was running, or
//   after the sequence had come to its request to Windows; a resume reported while
//   the command or the output-off was still ahead changes nothing;
// - the computer is still running REARM_TIME seconds (UnbiasedNow()) after Windows
//   accepted the power-off, and Windows has not said that it is shutting down
//   (MonitorNoteSystemShutdown): the line of "OS_Shutdown_did_not_happen" and a Windows
//   warning event say so.
// Re-arming drops the UPS connection (the next pass connects anew and the countdown
// starts from the UPS's first report), forgets the sequence and the mains failure,
// and keeps only that the outage under way (mains off without a break since the
// sequence began) already had its command and output-off, until the UPS reports mains
// power back. True when it re-armed.
bool RearmIfDue(MonitorState& state);

// Forgets OutageStepsDone once the connected UPS has reported mains power: the next
// failure is a new outage with its whole sequence.
void NoteOutageEnded(MonitorState& state);
