#pragma once
// Small output files written whole: the projection and code-page files, the run list, the
// font list and the PHP pages.
#include <string>
#include <string_view>
#include <vector>

// Creates (or replaces) `path` and writes `content`. False when the file cannot be created;
// a write or close that fails part way raises NabikError "Cannot write <path>: <reason>".
bool WriteWholeFile(const std::string& path, std::string_view content);

// The same for text lines, each followed by CR LF.
bool WriteTextLines(const std::string& path, const std::vector<std::string>& lines);
