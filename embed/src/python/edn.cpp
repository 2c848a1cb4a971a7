#include "edn.hpp"

#include "util/internal_error.hpp"

namespace quorvex {

// Transitional: the reader has not landed yet.
bool edn_reader_available() {
  return false;
}

std::expected<DataValue, EmbedError> parse_edn_text(std::string_view) {
  throw InternalError("parse_edn_text called without a reader");
}

} // namespace quorvex
