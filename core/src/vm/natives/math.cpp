// Floating-point mathematics: twenty functions of one number, three of two, five constants.
// Every result is a Float, the rounding functions' too ((floor 7) is 7.0). Arguments outside a
// function's domain give NaN or an infinity as IEEE and the platform library define them; no
// row reports a domain error.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numbers>

#include "value/numbers.hpp"
#include "vm/natives/handlers.hpp"
#include "vm/natives/support.hpp"

namespace quorvex {

namespace {

using Unary = double (*)(double);
using Binary = double (*)(double, double);

// Inverse hyperbolic functions from logarithms, so that their signed zeros, infinities and
// NaNs do not depend on the library's own versions.
//
// For the largest doubles (from about 2^1023) the sum under the logarithm, close to 2a, leaves
// the double range although the answer is near 710; there the value is log(2a) = log(a) + ln 2
// to within rounding, so a finite argument never answers an infinity.
double log_of_twice(double a) {
  return std::log(a) + std::numbers::ln2;
}

double inverse_sinh(double x) {
  const double a = std::fabs(x);
  const double i = 1.0 / a;
  double r = std::log1p(a + a / (std::hypot(1.0, i) + i));
  if (std::isinf(r) && std::isfinite(a)) r = log_of_twice(a);
  return std::copysign(r, x);
}

double inverse_cosh(double x) {
  if (x < 1.0) return std::numeric_limits<double>::quiet_NaN();
  const double r = std::log(x + std::sqrt(x - 1.0) * std::sqrt(x + 1.0));
  if (std::isinf(r) && std::isfinite(x)) return log_of_twice(x);
  return r;
}

double inverse_tanh(double x) {
  return 0.5 * std::log1p(2.0 * x / (1.0 - x));
}

NativeResult of_one(const Value* args, Unary f, const char* error) {
  if (!args[0].is_number()) return type_error(error);
  return Value::from_float(f(double_view(args[0])));
}

NativeResult of_two(const Value* args, Binary f, const char* error) {
  if (!args[0].is_number() || !args[1].is_number()) return type_error(error);
  return Value::from_float(f(double_view(args[0]), double_view(args[1])));
}

double pow2(double x, double y) {
  return std::pow(x, y);
}
double atan2_(double y, double x) {
  return std::atan2(y, x);
}
double hypot2(double x, double y) {
  return std::hypot(x, y);
}

} // namespace

// One handler per row; EXPR computes the result from the double x.
#define QV_MATH_ONE(HANDLER, EXPR, NAME)                                                           \
  NativeResult HANDLER(Vm&, const Value* args, std::size_t) {                                      \
    return of_one(                                                                                 \
        args, [](double x) { return EXPR; }, NAME " requires a number");                           \
  }

QV_MATH_ONE(builtin_floor, std::floor(x), "floor")
QV_MATH_ONE(builtin_ceil, std::ceil(x), "ceil")
QV_MATH_ONE(builtin_round, std::round(x), "round")
QV_MATH_ONE(builtin_sqrt, std::sqrt(x), "sqrt")
QV_MATH_ONE(builtin_exp, std::exp(x), "exp")
QV_MATH_ONE(builtin_log, std::log(x), "log")
QV_MATH_ONE(builtin_log2, std::log2(x), "log2")
QV_MATH_ONE(builtin_log10, std::log10(x), "log10")
QV_MATH_ONE(builtin_sin, std::sin(x), "sin")
QV_MATH_ONE(builtin_cos, std::cos(x), "cos")
QV_MATH_ONE(builtin_tan, std::tan(x), "tan")
QV_MATH_ONE(builtin_asin, std::asin(x), "asin")
QV_MATH_ONE(builtin_acos, std::acos(x), "acos")
QV_MATH_ONE(builtin_atan, std::atan(x), "atan")
QV_MATH_ONE(builtin_sinh, std::sinh(x), "sinh")
QV_MATH_ONE(builtin_cosh, std::cosh(x), "cosh")
QV_MATH_ONE(builtin_tanh, std::tanh(x), "tanh")
QV_MATH_ONE(builtin_asinh, inverse_sinh(x), "asinh")
QV_MATH_ONE(builtin_acosh, inverse_cosh(x), "acosh")
QV_MATH_ONE(builtin_atanh, inverse_tanh(x), "atanh")
#undef QV_MATH_ONE

NativeResult builtin_pow(Vm&, const Value* args, std::size_t) {
  return of_two(args, pow2, "pow requires numbers");
}

// The first argument is y: (atan2 1 0) is pi/2.
NativeResult builtin_atan2(Vm&, const Value* args, std::size_t) {
  return of_two(args, atan2_, "atan2 requires numbers");
}

NativeResult builtin_hypot(Vm&, const Value* args, std::size_t) {
  return of_two(args, hypot2, "hypot requires numbers");
}

// The constants ignore their arguments unexamined: (pi nil) is pi.
NativeResult builtin_pi(Vm&, const Value*, std::size_t) {
  return Value::from_float(3.141592653589793);
}

NativeResult builtin_e(Vm&, const Value*, std::size_t) {
  return Value::from_float(2.718281828459045);
}

NativeResult builtin_infinity(Vm&, const Value*, std::size_t) {
  return Value::from_float(std::numeric_limits<double>::infinity());
}

NativeResult builtin_negative_infinity(Vm&, const Value*, std::size_t) {
  return Value::from_float(-std::numeric_limits<double>::infinity());
}

// Exactly the quiet NaN 0x7FF8000000000000, whatever NaN the library would make.
NativeResult builtin_nan(Vm&, const Value*, std::size_t) {
  return Value::from_float(std::bit_cast<double>(std::uint64_t{0x7FF8000000000000}));
}

} // namespace quorvex
