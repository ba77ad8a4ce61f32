#pragma once
// The code page of the text values written into the tables. The tables and the map file hold
// CP932; a file that declares another encoding has its values converted, one value at a time.
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

// The encoding named by an XML declaration on the file's first line, in capitals ("UTF-8"),
// or empty when the line holds none. A UTF-8 byte order mark without a declaration gives UTF-8.
std::string DeclaredEncoding(std::string_view firstLine);

// True for the names under which Shift-JIS and its Windows variant CP932 are declared.
bool IsShiftJisName(std::string_view encoding);

// Converts values of one file to CP932 (or to UTF-8, for outputs that hold it). Values are cached:
// the same few texts (feature types, place names) recur in every feature, and a conversion costs
// far more than a lookup.
class tvalueconverter {
 public:
  // Empty or a Shift-JIS name: values are CP932, taken byte for byte into CP932. Raises
  // NabikError when the system has no conversion from `encoding` to the target.
  explicit tvalueconverter(std::string encoding, bool toUtf8 = false);

  // The value in CP932, valid until the next call. Characters CP932 cannot hold become 〓.
  // For UTF-8 the value in UTF-8; invalid bytes become U+FFFD.
  std::string_view ToTable(std::string_view value);

 private:
  struct thash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  std::string encoding_;  // empty: no conversion
  bool toUtf8_ = false;
  std::unordered_map<std::string, std::string, thash, std::equal_to<>> cache_;
  const std::pair<const std::string, std::string>* last_ = nullptr;  // the last value looked up
};
