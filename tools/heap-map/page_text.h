// Writing pages: text escaped for HTML, and numbers appended without locale or format strings,
// fast enough for the million Blocks of a large heap.
#pragma once

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace velk::heapmap {

inline void appendEscaped(std::string& out, std::string_view text) {
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
}

template <typename Number>
void appendNumber(std::string& out, Number value) {
  char digits[32];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

inline void appendHex(std::string& out, std::uint64_t value) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value, 16);
  out += "0x";
  out.append(digits, result.ptr);
}

// Writes `text` to `path`; false, with the path and the system's reason in `error`, when the file
// cannot be written whole.
inline bool writeFile(const std::string& path, std::string_view text, std::string& error) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  bool written = file != nullptr && std::fwrite(text.data(), 1, text.size(), file) == text.size();
  int reason = errno;
  if (file != nullptr && std::fclose(file) != 0 && written) {
    written = false;
    reason = errno;
  }
  if (!written) error = "cannot write " + path + ": " + std::strerror(reason);
  return written;
}

}  // namespace velk::heapmap
