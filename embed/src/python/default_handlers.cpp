#include "default_handlers.hpp"

#include <string>

#include "bridges.hpp"
#include "util/chacha.hpp"
#include "util/stdin_reader.hpp"
#include "util/stdout_writer.hpp"
#include "util/utf8.hpp"
#include "value/printer.hpp"
#include "value/strings.hpp"
#include "vm/interface.hpp"

namespace quorvex {

namespace {

// What the console shows of a value: a string its own text, anything else its readable form
// (nil as "nil", keywords with their colon, strings inside collections quoted).
Guarded<void> append_console_text(const Vm& vm, const Value& v, std::string& out) {
  if (std::optional<std::string_view> text = string_view_of(vm.heap, v)) {
    out.append(*text);
    return {};
  }
  return append_readable(PrintEnv{vm.heap, vm.interner, vm.types}, v, out);
}

class ConsoleHandler final : public HostHandler {
public:
  std::expected<HandlerOutcome, VmError> handle(Vm& vm, Spur operation,
                                                std::vector<Value> args) override {
    const std::string_view op = vm.interner.resolve(operation);
    if (op == "print" || op == "println") {
      const bool newline = op == "println";
      std::string text;
      if (!args.empty()) {
        if (Guarded<void> ok = append_console_text(vm, args[0], text); !ok) {
          return std::unexpected(to_vm_error(ok.error()));
        }
      }
      if (newline) text += '\n';
      if (!text.empty()) stdout_write(text);
      return HandlerOutcome::resume(Value::nil());
    }
    if (op == "read-line") {
      LineRead read = read_stdin_line(
          [](void* data) { return check_signals_during_run(*static_cast<Vm*>(data)); }, &vm);
      if (read.status == LineStatus::Interrupted) {
        return std::unexpected(VmError::value_error("interrupted"));
      }
      // The end of input and a failed read both answer "". So does a line that is not UTF-8:
      // the language's strings must be, and the line is consumed like any other.
      if (read.status != LineStatus::Line || !utf8_is_valid(read.line)) read.line.clear();
      Guarded<Value> line = make_string_value(vm.heap, std::move(read.line));
      if (!line) return std::unexpected(to_vm_error(line.error()));
      return HandlerOutcome::resume(*line);
    }
    return HandlerOutcome::resume(Value::nil());
  }
};

class RandomHandler final : public HostHandler {
public:
  std::expected<HandlerOutcome, VmError> handle(Vm& vm, Spur operation,
                                                std::vector<Value> args) override {
    const std::string_view op = vm.interner.resolve(operation);
    if (op == "rand") {
      return HandlerOutcome::resume(Value::from_float(thread_chacha().next_unit_double()));
    }
    if (op == "rand-int") {
      if (args.empty() || args[0].tag != Tag::Int) {
        return std::unexpected(VmError::type_error("rand-int expects an integer argument"));
      }
      const std::int64_t n = args[0].as.integer;
      if (n <= 0) return std::unexpected(VmError::value_error("cannot sample empty range"));
      const std::uint64_t drawn = thread_chacha().next_below(static_cast<std::uint64_t>(n));
      return HandlerOutcome::resume(Value::from_int(static_cast<std::int64_t>(drawn)));
    }
    return HandlerOutcome::resume(Value::nil());
  }
};

} // namespace

std::shared_ptr<HostHandler> make_console_handler() {
  return std::make_shared<ConsoleHandler>();
}
std::shared_ptr<HostHandler> make_random_handler() {
  return std::make_shared<RandomHandler>();
}

EmbedError embed_error_of(const EngineError& error) {
  const EmbedError::EngineLayer layer =
      error.kind() == EngineError::Kind::Core      ? EmbedError::EngineLayer::Read
      : error.kind() == EngineError::Kind::Compile ? EmbedError::EngineLayer::Compile
                                                   : EmbedError::EngineLayer::Runtime;
  return EmbedError::engine(layer, to_string(error));
}

std::expected<std::unique_ptr<Vm>, EmbedError> install_default_handlers() {
  std::expected<std::unique_ptr<Vm>, EngineError> made = vm_with_prelude();
  if (!made) return std::unexpected(embed_error_of(made.error()));
  std::unique_ptr<Vm> vm = std::move(*made);
  if (!register_host_handler(*vm, "console", make_console_handler())) {
    return std::unexpected(EmbedError::effect_not_found("console"));
  }
  if (!register_host_handler(*vm, "random", make_random_handler())) {
    return std::unexpected(EmbedError::effect_not_found("random"));
  }
  return vm;
}

} // namespace quorvex
