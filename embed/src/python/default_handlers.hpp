// The host handlers an engine made with defaults starts with: `console` (print, println,
// read-line) over the process's own standard streams, and `random` (rand, rand-int) over the
// thread's ChaCha generator.
#pragma once

#include <expected>
#include <memory>

#include "errors.hpp"
#include "vm/vm.hpp"

namespace quorvex {

struct EngineError;
// An engine error as the module reports it: read and compile errors raise CompileError, runtime
// errors EvalError, with the engine error's display text.
EmbedError embed_error_of(const EngineError& error);

// A machine for Engine() and Engine.with_defaults(): the prelude loaded, then both handlers
// registered. Fails with
// EmbedError::Engine when the machine cannot be built, or EmbedError::EffectNotFound naming
// "console" or "random" when an effect is missing; no machine survives a failure.
std::expected<std::unique_ptr<Vm>, EmbedError> install_default_handlers();

// The handlers themselves, stateless and shareable between machines.
std::shared_ptr<HostHandler> make_console_handler();
std::shared_ptr<HostHandler> make_random_handler();

} // namespace quorvex
