// Lines of the process's standard input, as `read-line` and the default `console` handler read
// them. One process-wide buffer over file descriptor 0 serves every reader, so bytes read ahead
// of a line end are kept for the next read instead of being lost between two readers. Reads hold
// a process-wide lock and block until a line or the end of input arrives.
#pragma once

#include <optional>
#include <string>

namespace quorvex {

enum class LineStatus {
  Line,        // a line, possibly the last one without a line end
  EndOfInput,  // nothing was left to read
  ReadError,   // the stream failed (closed descriptor, I/O error)
  Interrupted, // a signal arrived and `interrupted` asked to give up; nothing was consumed
};

struct LineRead {
  LineStatus status = LineStatus::EndOfInput;
  std::string line;
};

// Called when a signal interrupts the wait for input: true gives up the read (the bytes of the
// unfinished line stay buffered), false waits on.
using InterruptCheck = bool (*)(void* data);

// Reads up to and including the next "\n" or to the end of input and answers the line without
// its "\n" and without a "\r" just before it (a lone "\r" elsewhere stays). Pending standard
// output is flushed first, so that a prompt written without a newline is seen before the wait.
LineRead read_stdin_line(InterruptCheck interrupted = nullptr, void* data = nullptr);

} // namespace quorvex
