// EDN text into data: the reader reads the text, the last form becomes a DataValue.
#pragma once

#include <expected>
#include <string_view>

#include "data_value.hpp"
#include "errors.hpp"

namespace quorvex {

// Reads the whole text with the language's reader (quote shorthand, # dispatch forms and regex
// literals included) and converts the last form; nil when the text holds no form. A read error is
// EmbedError::InvalidEdn with the reader's text.
std::expected<DataValue, EmbedError> parse_edn_text(std::string_view src);

// False while the reader is not part of the build yet; parse_edn then says so.
bool edn_reader_available();

} // namespace quorvex
