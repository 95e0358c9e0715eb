// Removing temporary files when a signal stops the process. A tool that
// writes through AtomicFile calls removeTemporariesOnSignal() once at start:
// SIGINT, SIGTERM or SIGHUP then removes every temporary file still listed
// (an output not yet committed leaves nothing behind) and ends the process
// by the same signal with its default action, so the exit status is the
// conventional one (128 + the signal, as a shell reports it).
//
// The list is a fixed table written without locks or allocation, so the
// handler only reads it and calls unlink(): async-signal-safe.
#pragma once

namespace gwf {

// Installs the handlers (once; later calls do nothing).
void removeTemporariesOnSignal();

// Puts `path` on the list; returns its place, or -1 when it cannot be listed
// (the table is full or the path too long: the file is then only removed by
// its owner, as without a signal).
int listTemporary(const char* path);
// Takes the place off the list (-1 is ignored).
void unlistTemporary(int place);

// A tool that renders in a child process passes the signal on to it before
// stopping, so the child removes its own temporary files and stops too
// (a signal sent to the tool alone would otherwise leave the child running).
// 0 passes nothing on.
void forwardSignalsTo(int pid);

}  // namespace gwf
