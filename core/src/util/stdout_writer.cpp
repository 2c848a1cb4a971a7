#include "util/stdout_writer.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>

namespace quorvex {

namespace {

constexpr std::size_t kFlushAbove = 8192;

struct Writer {
  std::mutex mutex;
  std::string pending;
};

// Never destroyed: the exit-time flush may run after static destructors have started.
Writer& writer() {
  static Writer* w = [] {
    auto* made = new Writer;
    std::atexit([] { stdout_flush(); });
    return made;
  }();
  return *w;
}

void write_all(std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(STDOUT_FILENO, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return; // a broken or closed stream: the text is dropped
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

} // namespace

void stdout_write(std::string_view text) {
  Writer& w = writer();
  std::lock_guard lock(w.mutex);
  const std::size_t last_newline = text.rfind('\n');
  if (last_newline == std::string_view::npos) {
    w.pending.append(text);
    if (w.pending.size() > kFlushAbove) {
      write_all(w.pending);
      w.pending.clear();
    }
    return;
  }
  if (w.pending.empty()) {
    write_all(text.substr(0, last_newline + 1));
  } else {
    w.pending.append(text.substr(0, last_newline + 1));
    write_all(w.pending);
    w.pending.clear();
  }
  w.pending.append(text.substr(last_newline + 1));
}

void stdout_flush() {
  Writer& w = writer();
  std::lock_guard lock(w.mutex);
  if (w.pending.empty()) return;
  write_all(w.pending);
  w.pending.clear();
}

} // namespace quorvex
