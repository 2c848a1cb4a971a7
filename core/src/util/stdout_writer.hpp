// The process's standard output as the language writes to it: the printing builtins and the
// default `console` handler share this one writer, so their texts come out in the order they were
// written.
//
// Line-buffered: text reaches file descriptor 1 when a newline is written (up to and including
// the last newline), when the pending text passes 8 KiB, when stdout_flush is called, before a
// read of standard input, and when the process exits normally. It is independent of Python's
// sys.stdout and of C's stdout, which keep buffers of their own. A write that fails (a closed
// pipe, a full disk) drops the text it could not write and is otherwise ignored: printing never
// fails and never ends the process.
#pragma once

#include <string_view>

namespace quorvex {

void stdout_write(std::string_view text);
void stdout_flush();

} // namespace quorvex
