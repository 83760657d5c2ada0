#pragma once
// The drive's clock: where a play has got to, its end on time, the door, and the notifications
// they cause. Called with drive_lock held (drive_state.h), except where a function says otherwise.
#include <windows.h>
#include <mmsystem.h>

#include <cstdint>

// The frame under the head now: moving while playing, else where it stopped.
uint32_t current_frame(uint64_t now);

// Notifications decided while handling a command wait until its log line is written, so that
// the log reads in cause-then-effect order; flush_notes posts them, drop_notes forgets them.
void flush_notes();
void drop_notes();
// Ends the pending notification of a play, if any, with code.
void end_pending(UINT code);
// A command that asked for MCI_NOTIFY and is done at once: like MCI, one pending notification
// per device, so it first supersedes a play's.
void notify_done(DWORD flags, DWORD_PTR callback, MCIDEVICEID device);
void log_event(const char* text);

// Ends a play that has reached its end. Runs before every command and on every clock tick, so
// the end is seen on time whether or not anybody asks.
void advance(uint64_t now);
// Stops whatever moves, keeping the position, and ends a pending notification with code.
void halt(uint64_t now, UINT code);
void move_door(bool open, uint64_t now);
// Still loading the disc after the door closed.
bool loading(uint64_t now);
// The disc can be read: door closed, a disc in and not still loading (a drive that only refuses
// plays while it loads answers queries meanwhile).
bool ready();
