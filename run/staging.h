#pragma once
// The next archive of a run's input list, extracted ahead while the files of the one before it
// are converted.
#include <sys/stat.h>

#include <atomic>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "run/workfolder.h"

// The next archive of the input list, extracted ahead on one thread of its own into an
// extraction folder of its own while the files of the current archive are converted (so the
// conversion keeps its core). At its turn its files are converted where they lie; when anything
// went wrong there, it is extracted again as if never staged, so that its message is that of a
// plain extraction, and so it is when the archive was changed, removed or made unreadable since
// it was staged. The thread is stopped and joined and the folder removed on every way out.
struct tstagedarchive {
  int Index = -1;  // the input line; -1: nothing staged
  std::string Archive;
  textractfolder Folder;
  struct stat File {};  // the archive as it was when staged
  std::thread Thread;
  std::atomic<bool> Stop{false};
  bool Extracted = false;          // set by the thread; read once it is joined or Ended
  std::vector<std::string> Files;  // what it extracted, in the order to convert them
  std::atomic<bool> Ended{false};  // the thread is done with Extracted and Files
  int Depth = 1;                   // how many are staged at most beside it (room on the disk)
  ~tstagedarchive();
};

// Stops and joins the thread, removes the staging folder and its files; nothing is staged after.
void DropStaged(tstagedarchive& staged);

// Starts extracting input line `index` (the archive `archive`) into a new folder of `work`; an
// earlier staging in `staged` is dropped.
void StartStaging(tstagedarchive& staged, int index, const std::string& archive, tworkfolder& work);

// Hands the folder staged for input line `index` to `folder`, and its files, in the order to
// convert them, to `files`; false when none are ready for it (what was staged is dropped, and the
// caller extracts the archive itself).
bool TakeStaged(tstagedarchive& staged, int index, const std::string& archive,
                textractfolder& folder, std::vector<std::string>& files);

// The next archives of a list (the input list, or an archive's files), staged up to `depth` at a
// time, each on a thread of its own: a run of many archives keeps every core busy extracting
// while the files before them are converted. Lines are known by their index in the list.
class tstagingqueue {
 public:
  explicit tstagingqueue(int depth) : depth_(depth < 0 ? 0 : depth) {}  // 0: none
  tstagingqueue(const tstagingqueue&) = delete;
  tstagingqueue& operator=(const tstagingqueue&) = delete;

  bool Full() const { return static_cast<int>(staged_.size()) >= depth_; }
  bool Has(int index) const;
  // Stages line `index` after those staged, unless it is staged or the queue is full.
  void Stage(int index, const std::string& archive, tworkfolder& work);
  // As TakeStaged; what is staged for lines before `index` is dropped.
  bool Take(int index, const std::string& archive, textractfolder& folder,
            std::vector<std::string>& files);
  // The files of line `index` once its extraction has ended well, without waiting; null while it
  // runs or when it is not staged or went wrong.
  const std::vector<std::string>* Ready(int index) const;
  // Drops the stagings of lines up to `index`: their turn passed.
  void DropThrough(int index);
  void DropAll() { staged_.clear(); }

 private:
  int depth_;
  std::deque<std::unique_ptr<tstagedarchive>> staged_;  // by input line, rising
};
