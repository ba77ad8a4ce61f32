#pragma once
// The path an archive entry was stored under, and the checked path it is extracted to.
#include <optional>
#include <string>
#include <string_view>

// The stored path of an entry with '/' separators, read from its raw header (levels 0 to 2)
// so that nothing the reader library tidies away (a ".." component) is hidden from the check.
// Names are bytes in the archive's own encoding. In level 0 and 1 headers a '\' separates
// folders too; in a Shift-JIS name the second byte of a double-byte character may equal '\'
// and is kept (a name that is valid UTF-8 is read as UTF-8). Falls back to the reader's
// `lhasaPath` + `lhasaFileName` for other levels or a header it cannot follow.
std::string StoredEntryPath(int headerLevel, std::string_view rawHeader, std::string_view lhasaPath,
                            std::string_view lhasaFileName);

// `stored` as a relative path with single '/' separators and no "." components; empty for the
// destination itself. Nothing when the path is absolute ("/..." or a drive such as "C:") or
// holds a ".." component, which would put the entry outside the destination, or a NUL byte.
std::optional<std::string> SafeRelativePath(std::string_view stored);

// Backslash and slash become '/', except a second byte of a Shift-JIS double-byte character
// (unless `name` is valid UTF-8, whose bytes never hide a '\').
std::string DosNameToPath(std::string_view name);
