#pragma once
// Binding to the LHA archive library (lhasa), loaded by name at program start. The web export
// unpacks its prepared archive through `Unlha`, which takes one command line in the form the
// export builds:  e -x1 <folder>ms4wmap10.lzh <destination> *.* -p2 -y1
#include <cstdint>
#include <string>

// Loads the library and looks up the functions the extraction needs. When the library or one of
// the functions is missing, the fallback takes `Unlha`'s place. Returns whether it was loaded.
bool StartUnlha(const std::string& libraryName = "liblhasa.so.0");

// Releases the library (program end); `Unlha` falls back again afterwards.
void StopUnlha();

// Runs one command line. Extracts every entry of the archive with its folders into the
// destination, replacing existing files, and returns 0 on success, non-zero on failure.
// At most `size` bytes of messages, NUL included, go into `output`.
// Without the library it shows "Unlha: LHA.DLL not loaded." and returns 0.
int32_t Unlha(void* window, const std::string& command, char* output, int32_t size);

// Results other than 0; the first failure of a call decides its result.
enum : int32_t {
  UnlhaBadCommand = 1,        // the command line names no supported command or no archive
  UnlhaNoArchive = 2,         // the archive cannot be opened
  UnlhaDamagedArchive = 3,    // not an LHA archive, truncated, or no entries
  UnlhaDamagedEntry = 4,      // an entry's data fails its CRC or length check
  UnlhaUnsafeEntry = 5,       // an absolute path or a ".." component, refused
  UnlhaUnsupportedEntry = 6,  // a symbolic link, not created
  UnlhaWriteError = 7,        // a folder or file could not be created or written
};

// The fallback shows its message through this hook (the core has no windows).
using tmessagehook = void (*)(void* owner, const std::string& caption, const std::string& text);
// Default: prints "caption: text" to standard error (batch mode); the window sets a message box.
extern tmessagehook UnlhaMessageHook;

// True when `path` names an existing folder (a symbolic link to one counts).
bool DirectoryExists(const std::string& path);

// Creates the folder `path` with every missing parent. True when the folder exists afterwards.
bool ForceDirectories(const std::string& path);
