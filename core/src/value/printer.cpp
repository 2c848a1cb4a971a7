#include "value/printer.hpp"

#include "util/depth_guard.hpp"
#include "util/internal_error.hpp"

namespace quorvex {

namespace {

class Printer {
public:
  Printer(const PrintEnv& env, std::string& out) : env_(env), out_(out) {}

  Guarded<void> print(const Value& v, bool readable) {
    switch (v.tag) {
    case Tag::Nil:
      if (readable) out_ += "nil";
      return {};
    case Tag::Bool:
      out_ += (v.as.boolean & 1) != 0 ? "true" : "false";
      return {};
    case Tag::Int:
      append_int_text(out_, v.as.integer);
      return {};
    case Tag::Float:
      append_float_text(out_, v.as.floating);
      return {};
    case Tag::Ratio:
      append_int_text(out_, v.as.ratio.num);
      out_ += '/';
      append_int_text(out_, v.as.ratio.den);
      return {};
    case Tag::Symbol:
      out_ += env_.names.resolve(v.as.spur);
      return {};
    case Tag::Keyword:
      out_ += ':';
      out_ += env_.names.resolve(v.as.spur);
      return {};
    case Tag::NativeFn:
      out_ += "<native-fn>";
      return {};
    case Tag::Object:
      return print_object(v.as.key, readable);
    }
    out_ += "<invalid>";
    return {};
  }

  Guarded<void> print_variant(const Variant& var, bool readable) {
    const TypeInfo* type = env_.types.find(var.tag.type_id());
    if (type == nullptr) {
      out_ += "<unknown-variant>";
      return {};
    }
    if (var.tag.variant_index() >= type->variants.size()) {
      throw InternalError("variant index outside its data type");
    }
    const VariantInfo& info = type->variants[var.tag.variant_index()];
    out_ += '#';
    out_ += env_.names.resolve(type->name);
    out_ += '/';
    out_ += env_.names.resolve(info.name);
    if (var.fields.empty()) return {};
    DepthGuard guard;
    if (!guard) return std::unexpected(ValueFault::TooDeep);
    out_ += '{';
    const std::size_t n = std::min(info.field_names.size(), var.fields.size());
    for (std::size_t i = 0; i < n; ++i) {
      if (auto r = step(); !r) return r;
      if (i > 0) out_ += ", ";
      out_ += env_.names.resolve(info.field_names[i]);
      out_ += ": ";
      if (auto r = print(var.fields[i], readable); !r) return r;
    }
    out_ += '}';
    return {};
  }

private:
  // One element of a collection: the walk monitor may stop a long print, and text longer than
  // a string can hold is refused before it grows any further.
  Guarded<void> step() {
    if (walk_interrupted(env_.heap)) return std::unexpected(ValueFault::Interrupted);
    if (out_.size() > SmallString::kMaxSize) return std::unexpected(ValueFault::StringTooLong);
    return {};
  }

  Guarded<void> print_object(HeapKey key, bool readable) {
    const HeapObject* o = heap_get(env_.heap, key);
    if (o == nullptr) {
      out_ += "<invalid>";
      return {};
    }
    switch (o->kind()) {
    case ObjectKind::String: {
      const SmallString& text = o->get_if<StringObject>()->text;
      if (readable) {
        out_ += '"';
        // Escaping goes a character at a time: a long string is escaped a piece at a time, each
        // piece asking the walk monitor whether to stop.
        constexpr std::size_t kEscapePiece = std::size_t{1} << 16;
        const std::string_view all = text.view();
        for (std::size_t from = 0; from < all.size(); from += kEscapePiece) {
          if (from != 0) {
            if (poll_walk_monitor(env_.heap)) return std::unexpected(ValueFault::Interrupted);
            if (out_.size() > SmallString::kMaxSize) {
              return std::unexpected(ValueFault::StringTooLong);
            }
          }
          append_escaped(out_, all.substr(from, kEscapePiece));
        }
        out_ += '"';
      } else {
        out_ += text.view();
      }
      return {};
    }
    case ObjectKind::Seq: {
      if (!readable) {
        out_ += "<seq>";
        return {};
      }
      const SeqObject& seq = *o->get_if<SeqObject>();
      DepthGuard guard;
      if (!guard) return std::unexpected(ValueFault::TooDeep);
      out_ += seq.is_vector ? '[' : '(';
      bool first = true;
      for (const Value& item : seq.items) {
        if (auto r = step(); !r) return r;
        if (!first) out_ += ' ';
        first = false;
        if (auto r = print(item, true); !r) return r;
      }
      out_ += seq.is_vector ? ']' : ')';
      return {};
    }
    case ObjectKind::Set: {
      if (!readable) {
        out_ += "<set>";
        return {};
      }
      DepthGuard guard;
      if (!guard) return std::unexpected(ValueFault::TooDeep);
      out_ += "#{";
      bool first = true;
      for (const Value& item : o->get_if<SetObject>()->set) {
        if (auto r = step(); !r) return r;
        if (!first) out_ += ' ';
        first = false;
        if (auto r = print(item, true); !r) return r;
      }
      out_ += '}';
      return {};
    }
    case ObjectKind::Map: {
      if (!readable) {
        out_ += "<map>";
        return {};
      }
      DepthGuard guard;
      if (!guard) return std::unexpected(ValueFault::TooDeep);
      out_ += '{';
      bool first = true;
      for (const auto& entry : o->get_if<MapObject>()->map) {
        if (auto r = step(); !r) return r;
        if (!first) out_ += ' ';
        first = false;
        if (auto r = print(entry.first, true); !r) return r;
        out_ += ' ';
        if (auto r = print(entry.second, true); !r) return r;
      }
      out_ += '}';
      return {};
    }
    case ObjectKind::Closure:
      out_ += "<fn>";
      return {};
    case ObjectKind::ClosureTemplate:
      out_ += "<closure-template>";
      return {};
    case ObjectKind::Continuation:
      out_ += "<continuation>";
      return {};
    case ObjectKind::Atom:
      out_ += "<atom>";
      return {};
    case ObjectKind::Optic:
      out_ += "<optic>";
      return {};
    case ObjectKind::KeyBox: {
      if (!readable) {
        out_ += "<keybox>";
        return {};
      }
      DepthGuard guard;
      if (!guard) return std::unexpected(ValueFault::TooDeep);
      return print(o->get_if<KeyBox>()->value, true);
    }
    case ObjectKind::Regex:
      out_ += "<regex>";
      return {};
    case ObjectKind::Effect:
      out_ += "<effect #";
      append_uint_text(out_, o->get_if<Effect>()->id);
      out_ += '>';
      return {};
    case ObjectKind::Variant:
      return print_variant(*o->get_if<Variant>(), readable);
    }
    out_ += "<invalid>";
    return {};
  }

  const PrintEnv& env_;
  std::string& out_;
};

} // namespace

Guarded<void> append_display(const PrintEnv& env, const Value& v, std::string& out) {
  return Printer(env, out).print(v, false);
}

Guarded<void> append_readable(const PrintEnv& env, const Value& v, std::string& out) {
  return Printer(env, out).print(v, true);
}

Guarded<std::string> display_value(const PrintEnv& env, const Value& v) {
  std::string out;
  if (auto r = append_display(env, v, out); !r) return std::unexpected(r.error());
  return out;
}

Guarded<std::string> print_readable(const PrintEnv& env, const Value& v) {
  std::string out;
  if (auto r = append_readable(env, v, out); !r) return std::unexpected(r.error());
  return out;
}

Guarded<void> append_variant(const PrintEnv& env, const Variant& v, bool readable,
                             std::string& out) {
  return Printer(env, out).print_variant(v, readable);
}

Guarded<std::string> format_variant(const PrintEnv& env, const Variant& v, bool readable) {
  std::string out;
  if (auto r = append_variant(env, v, readable, out); !r) return std::unexpected(r.error());
  return out;
}

void append_escaped(std::string& out, std::string_view text) {
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else {
      out += c;
    }
  }
}

std::string escape_string(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_escaped(out, text);
  return out;
}

} // namespace quorvex
