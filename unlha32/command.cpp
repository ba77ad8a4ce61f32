#include "unlha32/command.h"

#include <fnmatch.h>
#include <sys/stat.h>

#include <algorithm>

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsArchiveExtAt(std::string_view text, size_t at) {
  if (at + 4 > text.size() || text[at] != '.') return false;
  std::string ext;
  for (size_t i = at + 1; i < at + 4; ++i) ext += LowerAscii(text[i]);
  const bool endsWord = at + 4 == text.size() || IsBlank(text[at + 4]);
  return endsWord && (ext == "lzh" || ext == "lha");
}

bool IsRegularFile(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The archive path at the start of `rest` (which begins with a non-blank).
std::string TakeArchivePath(std::string_view rest) {
  std::string firstCandidate;
  for (size_t at = 0; at < rest.size(); ++at) {
    if (!IsArchiveExtAt(rest, at)) continue;
    std::string candidate(rest.substr(0, at + 4));
    if (IsRegularFile(candidate)) return candidate;
    if (firstCandidate.empty()) firstCandidate = candidate;
  }
  if (!firstCandidate.empty()) return firstCandidate;
  const auto blank = std::find_if(rest.begin(), rest.end(), IsBlank);
  return std::string(rest.begin(), blank);
}

bool IsSwitchWord(std::string_view word) {
  return word.size() >= 2 && word[0] == '-' && word.find('/') == std::string_view::npos;
}

bool IsPatternWord(std::string_view word) {
  return word.find_first_of("*?") != std::string_view::npos &&
         word.find('/') == std::string_view::npos;
}

}  // namespace

std::optional<tunlhacommand> ParseUnlhaCommand(std::string_view line) {
  tunlhacommand result;
  std::string_view rest = TrimBlanks(line);
  auto takeWord = [&rest]() {
    const size_t end = std::min(rest.size(), rest.find_first_of(" \t"));
    std::string word(rest.substr(0, end));
    rest = TrimBlanks(rest.substr(end));
    return word;
  };
  const std::string command = takeWord();
  if (command.size() != 1 || (LowerAscii(command[0]) != 'e' && LowerAscii(command[0]) != 'x'))
    return std::nullopt;
  result.Command = LowerAscii(command[0]);
  while (!rest.empty() && rest.front() == '-') result.Switches.push_back(takeWord());
  if (rest.empty()) return std::nullopt;

  result.Archive = TakeArchivePath(rest);
  rest.remove_prefix(result.Archive.size());

  // Peel patterns and switches off the end; what remains is the destination.
  std::vector<std::string> tail;
  for (;;) {
    rest = TrimBlanks(rest);
    const size_t blank = rest.find_last_of(" \t");
    const std::string_view word = blank == std::string_view::npos ? rest : rest.substr(blank + 1);
    if (word.empty() || (!IsSwitchWord(word) && !IsPatternWord(word))) break;
    tail.emplace_back(word);
    rest.remove_suffix(word.size());
  }
  result.Destination = std::string(rest);
  for (auto it = tail.rbegin(); it != tail.rend(); ++it)
    (IsSwitchWord(*it) ? result.Switches : result.Patterns).push_back(*it);
  return result;
}

bool MatchesPatterns(const tunlhacommand& command, const std::string& name) {
  if (command.Patterns.empty()) return true;
  for (const std::string& pattern : command.Patterns) {
    // In LHA tools "*.*" means every file, with or without a dot in its name.
    if (pattern == "*" || pattern == "*.*") return true;
    if (fnmatch(pattern.c_str(), name.c_str(), 0) == 0) return true;
  }
  return false;
}
