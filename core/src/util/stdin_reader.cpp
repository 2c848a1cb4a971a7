#include "util/stdin_reader.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "util/stdout_writer.hpp"

namespace quorvex {

namespace {

struct Reader {
  std::mutex mutex;
  std::string buffered; // read from the descriptor, not yet handed out
  bool at_end = false;  // the descriptor reported the end of input once
};

Reader& reader() {
  static Reader* r = new Reader; // never destroyed, like the writer
  return *r;
}

LineRead take_line(Reader& r, std::size_t length, bool had_newline) {
  LineRead out{LineStatus::Line, r.buffered.substr(0, length)};
  r.buffered.erase(0, had_newline ? length + 1 : length);
  if (had_newline && !out.line.empty() && out.line.back() == '\r') out.line.pop_back();
  return out;
}

} // namespace

LineRead read_stdin_line(InterruptCheck interrupted, void* data) {
  stdout_flush();
  Reader& r = reader();
  std::lock_guard lock(r.mutex);
  std::size_t scanned = 0;
  for (;;) {
    const std::size_t newline = r.buffered.find('\n', scanned);
    if (newline != std::string::npos) return take_line(r, newline, true);
    scanned = r.buffered.size();
    if (r.at_end) {
      // The end of input is answered once after the last line; a later read tries the
      // descriptor again (a terminal may deliver more after Ctrl-D).
      r.at_end = false;
      if (r.buffered.empty()) return {LineStatus::EndOfInput, {}};
      return take_line(r, r.buffered.size(), false);
    }
    char chunk[4096];
    const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) {
        if (interrupted != nullptr && interrupted(data)) return {LineStatus::Interrupted, {}};
        continue;
      }
      return {LineStatus::ReadError, {}};
    }
    if (n == 0) {
      r.at_end = true;
      continue;
    }
    r.buffered.append(chunk, static_cast<std::size_t>(n));
  }
}

} // namespace quorvex
