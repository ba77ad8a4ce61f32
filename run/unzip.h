#pragma once
// Extraction of a zip archive into a folder of its own.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// How an extraction runs; the defaults are those of a run's own extraction.
struct tzipoptions {
  size_t MaxThreads = 0;                    // 0: as many as are useful here
  const std::atomic<bool>* Stop = nullptr;  // once set, the extraction raises "stopped"
};

// Extracts every file entry of `archive` below `folder`, which must exist and hold nothing but
// what this extraction makes. The entries go in the byte order of their stored names (raw bytes),
// which is also the order of the paths returned. An entry lands as `folder/<k>/<name>`: <name> is
// its stored name without the stored folder path ('/' and '\' both count), <k> the number of
// entries of that name before it, so entries of one name in different stored folders each stay,
// and the folders the extraction makes are named by digits alone while no entry sits beside them.
// Folder entries and names that are empty, "." or ".." after that are skipped. A stop asked of
// the run (common/stop.h) raises RunStopped. Each file is
// written under a temporary name first and given its own once whole. Raises NabikError with the
// zip library's message when the archive cannot be opened or an entry cannot be read, and with
// the system's when a file cannot be written.
std::vector<std::string> ExtractZip(const std::string& archive, const std::string& folder,
                                    const tzipoptions& options = {});

// The bytes the extraction of `archive` writes: what its file entries inflate to, as its
// directory gives them, less the entries it skips; 0 when it cannot be opened.
uint64_t ZipInflatedBytes(const std::string& archive);

// A zip archive, by its name (".zip" in any case).
bool IsArchive(const std::string& path);

// The name an entry lands under, or empty when it is skipped.
std::string FlatEntryName(const std::string& storedName);
