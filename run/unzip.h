#pragma once
// Flat extraction of a zip archive into the work folder.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// How an extraction runs; the defaults are those of a run's own extraction.
struct tzipoptions {
  size_t MaxThreads = 0;                          // 0: as many as are useful here
  const std::atomic<bool>* Stop = nullptr;        // once set, the extraction raises "stopped"
  std::vector<std::string>* Committed = nullptr;  // gets the names committed, in archive order
};

// Extracts every file entry of `archive` directly into `folder` (which must exist): the stored
// folder path is dropped ('/' and '\' both count), folder entries and names that are empty, "."
// or ".." after that are skipped, and a file of the same name is replaced. Stored names are raw
// bytes. Each file is written to a temporary name first, so an existing file is replaced only by
// a complete one. Raises NabikError with the zip library's message when the archive cannot be
// opened or an entry cannot be read, and with the system's when a file cannot be written.
void ExtractZipFlat(const std::string& archive, const std::string& folder,
                    const tzipoptions& options = {});

// The bytes the file entries of `archive` inflate to, as its directory gives them; 0 when it
// cannot be opened.
uint64_t ZipInflatedBytes(const std::string& archive);

// The name an entry lands under, or empty when it is skipped.
std::string FlatEntryName(const std::string& storedName);
