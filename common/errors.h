#pragma once
// The error every module raises when a step of a run (or of loading) cannot go on.
// Its text is what the user sees: a message box in the window, a line on stderr in batch mode.
#include <stdexcept>
#include <string>

struct NabikError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// printf-style "%s" substitution for the program's fixed messages.
std::string FormatMessage(const std::string& pattern, const std::string& value);
