#pragma once
// The command line `Unlha` takes, split into its parts.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct tunlhacommand {
  char Command = 0;                   // 'e' or 'x': extract (both keep the stored folders)
  std::vector<std::string> Switches;  // "-x1", "-p2", "-y1", ...: accepted, no effect
  std::string Archive;
  std::string Destination;            // empty: the current folder
  std::vector<std::string> Patterns;  // none, "*" or "*.*": every entry
};

// Splits "e -x1 <archive> <destination> *.* -p2 -y1". The parts are separated by blanks, but a
// folder may hold blanks too: the archive path runs to the first ".lzh " (or ".lha ") that ends
// the path of an existing file, and the destination is what lies between the archive and the
// trailing patterns and switches (a trailing word counts as one only when it holds no '/', so a
// destination that ends with '/' is always kept whole). Nothing when no supported command or
// no archive is given.
std::optional<tunlhacommand> ParseUnlhaCommand(std::string_view line);

// True when the file name `name` is selected by the command's patterns.
bool MatchesPatterns(const tunlhacommand& command, const std::string& name);
