#pragma once
// Helpers shared by the fuzz targets: one scratch folder per process, files from bytes, and a
// check that stops the run loudly when a promise of the code under test is broken.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz_support {

// A folder under the system temp folder, made on first use and removed at process exit; ends
// with '/'.
const std::string& ScratchFolder();

// Writes `data` to `path`, replacing it.
void WriteBytes(const std::string& path, const uint8_t* data, size_t size);

// Empties `folder` (keeps the folder itself); creates it when missing.
void EmptyFolder(const std::string& folder);

// Every regular file under `folder`, as paths relative to it; folders end with '/'.
std::vector<std::string> ListTree(const std::string& folder);

// Aborts with `what` on standard error when `condition` is false: the fuzzer records a crash.
void Require(bool condition, std::string_view what);

}  // namespace fuzz_support
