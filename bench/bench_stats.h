// Order statistics and a JSON text helper shared by the benchmark programs.
// Medians and percentiles, never means: these machines are noisy and a mean
// follows the worst round.
#pragma once
#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

inline double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t m = v.size() / 2;
  return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

// The sample at fraction p (0..1) of the sorted values, without interpolation.
inline double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1)))];
}

// A path or name as a JSON string's contents (quote and backslash escaped).
inline std::string jsonEscape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}
