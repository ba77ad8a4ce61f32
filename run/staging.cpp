#include "run/staging.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <utility>

#include "common/errors.h"
#include "common/paths.h"
#include "run/unzip.h"

namespace {

// Staging holds a second archive's files on the disk at once: it is done only where they leave
// room for the conversion's own files, so that a disk a run fits today still takes it.
constexpr uint64_t kStagingReserveBytes = uint64_t{256} << 20;

// `depth` archives may be staged at once: each is taken to be as large as this one.
bool RoomToStage(const std::string& archive, const std::string& folder, int depth) {
  struct statvfs room;
  if (::statvfs(folder.c_str(), &room) != 0) return false;
  const uint64_t free = uint64_t{room.f_bavail} * room.f_frsize;
  const uint64_t held = 2 * static_cast<uint64_t>(depth) * ZipInflatedBytes(archive);
  return held <= free && free - held >= kStagingReserveBytes;
}

}  // namespace

void DropStaged(tstagedarchive& staged) {
  if (staged.Thread.joinable()) {
    staged.Stop = true;
    staged.Thread.join();
  }
  staged.Folder.Remove();
  staged.Index = -1;
  staged.Archive.clear();
  staged.Files.clear();
  staged.Extracted = false;
  staged.Stop = false;
  staged.Ended = false;
}

tstagedarchive::~tstagedarchive() {
  DropStaged(*this);
}

void StartStaging(tstagedarchive& staged, int index, const std::string& archive,
                  tworkfolder& work) {
  DropStaged(staged);                                      // what it held before
  if (::stat(archive.c_str(), &staged.File) != 0) return;  // its turn says why
  try {
    staged.Folder = textractfolder(work.NewFolder());
  } catch (const NabikError&) {
    return;  // then it is extracted at its turn, which says why
  }
  staged.Index = index;
  staged.Archive = archive;
  try {
    staged.Thread = std::thread([&staged] {
      try {
        if (RoomToStage(staged.Archive, staged.Folder.Path(), staged.Depth)) {
          tzipoptions options;
          options.MaxThreads = 1;
          options.Stop = &staged.Stop;
          staged.Files = ExtractZip(staged.Archive, staged.Folder.Path(), options);
          staged.Extracted = true;
        }
      } catch (const std::exception&) {
        // Left to the archive's turn, which extracts it again and raises what goes wrong.
      }
      staged.Ended.store(true, std::memory_order_release);
    });
  } catch (const std::system_error&) {
    DropStaged(staged);  // no thread to be had: extracted at its turn
  }
}

bool TakeStaged(tstagedarchive& staged, int index, const std::string& archive,
                textractfolder& folder, std::vector<std::string>& files) {
  if (staged.Index != index || staged.Archive != archive) {
    DropStaged(staged);
    return false;
  }
  staged.Thread.join();
  struct stat now;
  const struct stat& was = staged.File;
  const bool same = ::stat(archive.c_str(), &now) == 0 && ::access(archive.c_str(), R_OK) == 0 &&
                    now.st_mode == was.st_mode && SameFileState(was, now);
  if (!staged.Extracted || !same) {
    DropStaged(staged);
    return false;
  }
  folder = std::move(staged.Folder);
  files = std::move(staged.Files);
  DropStaged(staged);
  return true;
}

bool tstagingqueue::Has(int index) const {
  for (const auto& staged : staged_)
    if (staged->Index == index) return true;
  return false;
}

void tstagingqueue::Stage(int index, const std::string& archive, tworkfolder& work) {
  if (Full() || Has(index)) return;
  auto staged = std::make_unique<tstagedarchive>();
  staged->Depth = depth_;
  StartStaging(*staged, index, archive, work);
  if (staged->Index == index) staged_.push_back(std::move(staged));
}

bool tstagingqueue::Take(int index, const std::string& archive, textractfolder& folder,
                         std::vector<std::string>& files) {
  DropThrough(index - 1);
  if (staged_.empty() || staged_.front()->Index != index) return false;
  const std::unique_ptr<tstagedarchive> staged = std::move(staged_.front());
  staged_.pop_front();
  return TakeStaged(*staged, index, archive, folder, files);
}

const std::vector<std::string>* tstagingqueue::Ready(int index) const {
  for (const auto& staged : staged_)
    if (staged->Index == index)
      return staged->Ended.load(std::memory_order_acquire) && staged->Extracted ? &staged->Files
                                                                                : nullptr;
  return nullptr;
}

void tstagingqueue::DropThrough(int index) {
  while (!staged_.empty() && staged_.front()->Index <= index) staged_.pop_front();
}
