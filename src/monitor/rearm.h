// Watching the UPS again, from scratch, when the computer comes back without having
// been switched off: after a wake from hibernation or sleep, and after a power-off
// that Windows accepted but that did not happen (cancelled, `shutdown /a`).
#pragma once

#include "monitor/monitor_state.h"

// Looks at the state at the top of a pass and re-arms when it is due:
// - the computer has woken (monitor/wake_watch.h: the clocks show the sleep, or the
//   service reported the resume) while no sequence was running, or after the sequence
//   had come to its request to Windows; a wake while the command or the output-off was
//   still ahead changes nothing. Each wake re-arms once, however it shows;
// - the computer is still running REARM_TIME seconds (UnbiasedNow()) after Windows
//   accepted the power-off, and Windows has not said that it is shutting down
//   (MonitorNoteSystemShutdown): the line of "OS_Shutdown_did_not_happen" and a Windows
//   warning event say so.
// Re-arming drops the UPS connection (the next pass connects anew) and nothing is
// decided on what the UPS said before until it says what holds now. A mains failure
// that no sequence has acted on yet goes on: its countdown continues, on the time the
// computer was awake, once the UPS says mains is still off. After a sequence the
// sequence and the failure are forgotten (the countdown starts from the UPS's first
// report), and only that the outage under way (mains off without a break since the
// sequence began) already had its command and output-off is kept, until the UPS
// reports mains power back. True when it re-armed.
bool RearmIfDue(MonitorState& state);

// Forgets OutageStepsDone once the connected UPS has reported mains power: the next
// failure is a new outage with its whole sequence.
void NoteOutageEnded(MonitorState& state);
