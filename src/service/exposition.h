// Exposition: builds text in the Prometheus text exposition format
// (version 0.0.4), the format monitoring systems scrape.
//
//   # HELP name text            once per family, before its samples
//   # TYPE name counter|gauge|histogram
//   name{label="value",...} number
//
// Label values are escaped (backslash, double quote, line feed); help texts
// escape backslash and line feed. Numbers are written in the shortest form
// that reads back to the same value, never in exponent form; the special
// values as +Inf, -Inf and NaN. A histogram is written as its cumulative
// name_bucket{le="bound"} series ending in le="+Inf", then name_sum and
// name_count, from non-cumulative bucket counts.
#ifndef ZT_SERVICE_EXPOSITION_H_
#define ZT_SERVICE_EXPOSITION_H_

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace zt {

using Label = std::pair<std::string_view, std::string_view>;

class Exposition {
 public:
  // Starts a family. type: "counter", "gauge" or "histogram".
  void Family(std::string_view name, std::string_view type, std::string_view help);

  void Sample(std::string_view name, std::initializer_list<Label> labels, double value);
  void Sample(std::string_view name, std::initializer_list<Label> labels, uint64_t value);
  void Sample(std::string_view name, double value) { Sample(name, {}, value); }
  void Sample(std::string_view name, uint64_t value) { Sample(name, {}, value); }

  // counts has one entry per bound plus a last one for +Inf.
  void Histogram(std::string_view name, std::initializer_list<Label> labels,
                 std::span<const double> bounds, std::span<const uint64_t> counts,
                 double sum_seconds);

  const std::string& text() const { return text_; }
  std::string Take() { return std::move(text_); }

 private:
  void Series(std::string_view name, std::string_view suffix, std::initializer_list<Label> labels,
              const Label* extra);

  std::string text_;
};

// The shortest text of value that reads back to it, without an exponent.
std::string FormatNumber(double value);

}  // namespace zt

#endif  // ZT_SERVICE_EXPOSITION_H_
