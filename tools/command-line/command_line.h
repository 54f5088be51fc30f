// Command lines the same way in every program, through CLI11: --help and --version print and
// exit 0; a usage error names the option and what it accepts, points at --help, and exits 2.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>

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

// A usage error found after parsing, said the way CLI11 says its own.
inline int usageError(const CLI::App& app, const std::string& message) {
  std::fprintf(stderr, "%s: %s\nRun with --help for more information.\n", app.get_name().c_str(),
               message.c_str());
  return kUsageError;
}

}  // namespace velk::commandline
