#include "service/exposition.h"

#include <charconv>
#include <cmath>

namespace zt {
namespace {

void AppendEscaped(std::string& out, std::string_view text, bool quotes) {
  for (const char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '"' && quotes) {
      out += "\\\"";
    } else {
      out += c;
    }
  }
}

}  // namespace

std::string FormatNumber(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  char text[400];  // the longest fixed form of a double is about 330 characters
  const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed);
  return std::string(text, result.ptr);
}

void Exposition::Family(std::string_view name, std::string_view type, std::string_view help) {
  text_ += "# HELP ";
  text_ += name;
  text_ += ' ';
  AppendEscaped(text_, help, /*quotes=*/false);
  text_ += "\n# TYPE ";
  text_ += name;
  text_ += ' ';
  text_ += type;
  text_ += '\n';
}

void Exposition::Series(std::string_view name, std::string_view suffix,
                        std::initializer_list<Label> labels, const Label* extra) {
  text_ += name;
  text_ += suffix;
  if (labels.size() == 0 && extra == nullptr) {
    text_ += ' ';
    return;
  }
  char separator = '{';
  auto add = [&](const Label& label) {
    text_ += separator;
    text_ += label.first;
    text_ += "=\"";
    AppendEscaped(text_, label.second, /*quotes=*/true);
    text_ += '"';
    separator = ',';
  };
  for (const Label& label : labels) add(label);
  if (extra != nullptr) add(*extra);
  text_ += "} ";
}

void Exposition::Sample(std::string_view name, std::initializer_list<Label> labels, double value) {
  Series(name, "", labels, nullptr);
  text_ += FormatNumber(value);
  text_ += '\n';
}

void Exposition::Sample(std::string_view name, std::initializer_list<Label> labels,
                        uint64_t value) {
  Series(name, "", labels, nullptr);
  text_ += std::to_string(value);
  text_ += '\n';
}

void Exposition::Histogram(std::string_view name, std::initializer_list<Label> labels,
                           std::span<const double> bounds, std::span<const uint64_t> counts,
                           double sum_seconds) {
  uint64_t cumulative = 0;
  for (size_t i = 0; i < counts.size(); ++i) {
    cumulative += counts[i];
    const std::string le = i < bounds.size() ? FormatNumber(bounds[i]) : "+Inf";
    const Label bucket{"le", le};
    Series(name, "_bucket", labels, &bucket);
    text_ += std::to_string(cumulative);
    text_ += '\n';
  }
  Series(name, "_sum", labels, nullptr);
  text_ += FormatNumber(sum_seconds);
  text_ += '\n';
  Series(name, "_count", labels, nullptr);
  text_ += std::to_string(cumulative);
  text_ += '\n';
}

}  // namespace zt
