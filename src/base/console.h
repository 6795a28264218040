// Keyboard input for the console. On a terminal, input is switched to
// non-canonical no-echo mode and restored on every exit path (normal exit,
// exit(), fatal signals). When standard input is not a terminal, keys are
// read from it as plain bytes. Main thread only, except restore_terminal,
// which is async-signal-safe.
#pragma once

namespace base {

// Puts a terminal on standard input into key mode (no-op otherwise) and
// registers the restore for exit(). Idempotent.
void enter_key_mode();

// Restores the terminal settings saved by enter_key_mode, if any.
void restore_terminal();

// Returns the next key if one is waiting, without blocking; -1 when none is
// waiting (also at end of input).
int poll_key();

// Reads and discards one pending key press, if there is one, without waiting.
void discard_pending_key();

}  // namespace base
