// Reading speed of the reader alone: source text in, spanned forms out, forms dropped again.
//
//   reader_bench FILE [ROUNDS]
//
// Reads FILE once to warm up, then ROUNDS times (default 7), and prints one line of key=value
// pairs: bytes, forms (top-level), best and median seconds per read, and MB/s of the best round.
// bench/reader_bench.py generates the data and puts the figures beside Python's json.loads.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "reader/reader.hpp"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [ROUNDS]\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot open %s\n", argv[1]);
    return 2;
  }
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;

  std::size_t forms = 0;
  auto read_once = [&]() -> bool {
    auto result = quorvex::read_all(text);
    if (!result) {
      std::fprintf(stderr, "%s\n", quorvex::format_core_error(result.error()).c_str());
      return false;
    }
    forms = result->size();
    return true; // the forms are dropped here, inside the timed region
  };
  if (!read_once()) return 1;

  std::vector<double> seconds;
  for (int r = 0; r < rounds; ++r) {
    auto start = std::chrono::steady_clock::now();
    if (!read_once()) return 1;
    auto stop = std::chrono::steady_clock::now();
    seconds.push_back(std::chrono::duration<double>(stop - start).count());
  }
  std::sort(seconds.begin(), seconds.end());
  double best = seconds.front();
  double median = seconds[seconds.size() / 2];
  std::printf("bytes=%zu forms=%zu best=%.6f median=%.6f mb_per_s=%.1f\n", text.size(), forms, best,
              median, static_cast<double>(text.size()) / best / 1e6);
  return 0;
}
