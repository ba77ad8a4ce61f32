#include "run/staging.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <unordered_map>

#include "common/errors.h"
#include "common/paths.h"
#include "run/unzip.h"

namespace {

// Staging holds a second archive's files on the disk at once: it is done only where they leave
// room for the conversion's own files, so that a disk a run fits today still takes it.
constexpr uint64_t kStagingReserveBytes = uint64_t{256} << 20;

bool RoomToStage(const std::string& archive, const std::string& folder) {
  struct statvfs room;
  if (::statvfs(folder.c_str(), &room) != 0) return false;
  const uint64_t free = uint64_t{room.f_bavail} * room.f_frsize;
  const uint64_t inflated = ZipInflatedBytes(archive);
  return inflated <= free / 2 && free - 2 * inflated >= kStagingReserveBytes;
}

}  // namespace

void DropStaged(tstagedarchive& staged) {
  if (staged.Thread.joinable()) {
    staged.Stop = true;
    staged.Thread.join();
  }
  if (!staged.Folder.empty()) {
    try {
      for (const std::string& name : ListFolder(staged.Folder))
        ::unlink((staged.Folder + "/" + name).c_str());
    } catch (const NabikError&) {
    }
    ::rmdir(staged.Folder.c_str());
  }
  staged.Index = -1;
  staged.Archive.clear();
  staged.Folder.clear();
  staged.Names.clear();
  staged.Extracted = false;
  staged.Stop = false;
}

tstagedarchive::~tstagedarchive() {
  DropStaged(*this);
}

void StartStaging(tstagedarchive& staged, int index, const std::string& archive,
                  const std::string& workFolder, const std::vector<std::string>& listed) {
  DropStaged(staged);  // one at a time
  std::string name = ".nabik-next";
  while (std::find(listed.begin(), listed.end(), name) != listed.end()) name += '-';
  const std::string folder = workFolder + "/" + name;
  if (::stat(archive.c_str(), &staged.File) != 0) return;  // its turn says why
  if (::mkdir(folder.c_str(), 0755) != 0) return;          // then it is extracted at its turn
  staged.Index = index;
  staged.Archive = archive;
  staged.Folder = folder;
  try {
    staged.Thread = std::thread([&staged] {
      try {
        if (!RoomToStage(staged.Archive, staged.Folder)) return;
        tzipoptions options;
        options.MaxThreads = 1;
        options.Stop = &staged.Stop;
        options.Committed = &staged.Names;
        ExtractZipFlat(staged.Archive, staged.Folder, options);
        staged.Extracted = true;
      } catch (const std::exception&) {
        // Left to the archive's turn, which extracts it again and raises what goes wrong.
      }
    });
  } catch (const std::system_error&) {
    DropStaged(staged);  // no thread to be had: extracted at its turn
  }
}

bool TakeStaged(tstagedarchive& staged, int index, const std::string& archive,
                const std::string& workFolder) {
  if (staged.Index != index || staged.Archive != archive) {
    DropStaged(staged);
    return false;
  }
  staged.Thread.join();
  struct stat now;
  const struct stat& was = staged.File;
  const bool same =
      ::stat(archive.c_str(), &now) == 0 && ::access(archive.c_str(), R_OK) == 0 &&
      now.st_dev == was.st_dev && now.st_ino == was.st_ino && now.st_size == was.st_size &&
      now.st_mode == was.st_mode && now.st_mtim.tv_sec == was.st_mtim.tv_sec &&
      now.st_mtim.tv_nsec == was.st_mtim.tv_nsec && now.st_ctim.tv_sec == was.st_ctim.tv_sec &&
      now.st_ctim.tv_nsec == was.st_ctim.tv_nsec;
  if (!staged.Extracted || !same) {
    DropStaged(staged);
    return false;
  }
  // A name met twice in the archive is there once, with its later entry's bytes.
  std::unordered_map<std::string, size_t> last;
  for (size_t k = 0; k < staged.Names.size(); ++k) last[staged.Names[k]] = k;
  for (size_t k = 0; k < staged.Names.size(); ++k) {
    const std::string& name = staged.Names[k];
    if (last[name] != k) continue;
    const std::string target = workFolder + "/" + name;
    if (::rename((staged.Folder + "/" + name).c_str(), target.c_str()) != 0)
      throw NabikError("Cannot write " + target + ": " + std::strerror(errno));
  }
  DropStaged(staged);
  return true;
}
