// The zip extraction. The input is either an archive as it is (when it starts with "PK") or a
// list of stored names, one a line, each followed by a tab and its content; the target packs
// those into an archive itself, so that every byte of a name reaches the extraction.
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/errors.h"
#include "fuzz_support.h"
#include "run/unzip.h"

using namespace fuzz_support;

namespace {

struct tstoredfile {
  std::string Name;
  std::string Content;
};

std::vector<tstoredfile> SplitEntries(std::string_view rest) {
  std::vector<tstoredfile> files;
  while (!rest.empty() && files.size() < 64) {
    const size_t lf = rest.find('\n');
    std::string_view line = rest.substr(0, lf);
    rest = lf == std::string_view::npos ? std::string_view() : rest.substr(lf + 1);
    const size_t tab = line.find('\t');
    tstoredfile file;
    file.Name = std::string(line.substr(0, tab));
    if (tab != std::string_view::npos) file.Content = std::string(line.substr(tab + 1));
    files.push_back(std::move(file));
  }
  return files;
}

// Packs the entries with their names as raw bytes. A name libzip refuses (a repeated one, a
// NUL in it) is left out. Returns false when no archive could be made.
bool PackArchive(const std::string& path, const std::vector<tstoredfile>& files,
                 std::vector<tstoredfile>& stored) {
  int error = 0;
  zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (!archive) return false;
  for (const tstoredfile& file : files) {
    if (file.Name.find('\0') != std::string::npos) continue;
    zip_source_t* source = zip_source_buffer(archive, file.Content.data(), file.Content.size(), 0);
    if (!source) continue;
    const bool folder = !file.Name.empty() && file.Name.back() == '/';
    const zip_int64_t index =
        folder ? zip_dir_add(archive, file.Name.c_str(), ZIP_FL_ENC_RAW)
               : zip_file_add(archive, file.Name.c_str(), source, ZIP_FL_ENC_RAW);
    if (index < 0 || folder) zip_source_free(source);
    if (index >= 0 && !folder) stored.push_back(file);
  }
  return zip_close(archive) == 0;
}

void CheckFlatName(const std::string& stored) {
  const std::string flat = FlatEntryName(stored);
  Require(flat.find('/') == std::string::npos && flat.find('\\') == std::string::npos,
          "a flat entry name keeps a folder separator");
  Require(flat != "." && flat != "..", "a flat entry name is '.' or '..'");
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string archive = ScratchFolder() + "input.zip";
  // The work folder sits inside its own parent, so that a file written beside it shows.
  const std::string parent = ScratchFolder() + "parent/";
  const std::string work = parent + "work/";
  EmptyFolder(parent);
  EmptyFolder(work);

  std::vector<tstoredfile> stored;
  const bool raw = text.substr(0, 2) == "PK";
  if (raw) {
    WriteBytes(archive, data, size);
  } else {
    const std::vector<tstoredfile> files = SplitEntries(text);
    for (const tstoredfile& file : files) CheckFlatName(file.Name);
    // libzip writes no file for an archive without entries.
    if (!PackArchive(archive, files, stored) || access(archive.c_str(), F_OK) != 0) return 0;
  }

  std::vector<std::string> paths;
  try {
    paths = ExtractZip(archive, work);
  } catch (const NabikError&) {
    Require(raw, "an archive libzip itself wrote could not be extracted");
  }

  const std::vector<std::string> beside = ListTree(parent);
  Require(beside.size() == 1 + ListTree(work).size(),
          "an entry was written outside the work folder");
  // Only folders named by digits at the top, files of flat names in them.
  for (const std::string& name : ListTree(work)) {
    const size_t slash = name.find('/');
    Require(slash != std::string::npos && slash > 0 &&
                std::all_of(name.begin(), name.begin() + static_cast<long>(slash),
                            [](char c) { return c >= '0' && c <= '9'; }),
            "an entry lies outside a folder of digits: " + name);
    Require(name.find('/', slash + 1) == std::string::npos, "an entry kept a folder: " + name);
  }
  if (!raw) {
    // Every stored entry of a flat name lands, with its content, in stored-name order.
    std::vector<tstoredfile> expected;
    for (const tstoredfile& file : stored)
      if (!FlatEntryName(file.Name).empty()) expected.push_back(file);
    std::stable_sort(expected.begin(), expected.end(),
                     [](const tstoredfile& a, const tstoredfile& b) { return a.Name < b.Name; });
    Require(paths.size() == expected.size(), "an entry did not land");
    for (size_t k = 0; k < paths.size(); ++k) {
      Require(
          paths[k].starts_with(work) && paths[k].ends_with("/" + FlatEntryName(expected[k].Name)),
          "an entry landed out of name order: " + paths[k]);
      Require(ReadBytes(paths[k]) == expected[k].Content, "an entry's content changed");
    }
  }
  return 0;
}
