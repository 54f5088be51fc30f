// Command lines the same way in every program, through CLI11: --help and --version print and
// exit 0; a usage error names the option and what it accepts, points at --help, and exits 2.
#pragma once

#include <CLI/CLI.hpp>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "velk/version.h"

namespace velk::commandline {

inline constexpr int kUsageError = 2;

// --version, and no "/option" spelling on Windows, where it would take paths for options.
inline void prepare(CLI::App& app, const std::string& program) {
  app.allow_windows_style_options(false);
  app.set_version_flag("--version", program + " " VELK_VERSION_STRING,
                       "Print the version and exit");
}

// Nothing when the program goes on; else the exit code.
inline std::optional<int> parse(CLI::App& app, int argc, char** argv) {
  try {
    app.parse(argc, argv);
    return std::nullopt;
  } catch (const CLI::Success& done) {  // --help or --version
    return app.exit(done);
  } catch (const CLI::ParseError& error) {
    app.exit(error);
    return kUsageError;
  }
}

// `text` as a whole number from `least` to `most` in decimal digits alone; nothing when it is not
// one. CLI11's own conversion reads "-5" as a huge unsigned number and "010" as eight.
inline std::optional<std::uint64_t> wholeNumber(std::string_view text, std::uint64_t least,
                                                std::uint64_t most) {
  std::uint64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end || value < least || value > most) {
    return std::nullopt;
  }
  return value;
}

// For `Option::transform`: a whole number from `least` to `most`, handed on in plain decimal;
// anything else is an error that names the range.
inline CLI::Validator wholeNumberFrom(std::uint64_t least, std::uint64_t most) {
  const std::string range = std::to_string(least) + " to " + std::to_string(most);
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        const std::optional<std::uint64_t> value = wholeNumber(text, least, most);
        if (!value) return text + " is not a whole number from " + range;
        text = std::to_string(*value);
        return {};
      },
      "from " + range);
}

// A usage error found after parsing, said the way CLI11 says its own.
inline int usageError(const CLI::App& app, const std::string& message) {
  std::fprintf(stderr, "%s: %s\nRun with --help for more information.\n", app.get_name().c_str(),
               message.c_str());
  return kUsageError;
}

}  // namespace velk::commandline
