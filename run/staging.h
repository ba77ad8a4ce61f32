#pragma once
// The next archive of a run's input list, extracted ahead while the files of the one before it
// are converted.
#include <sys/stat.h>

#include <atomic>
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
  bool Extracted = false;          // set by the thread; read once it is joined
  std::vector<std::string> Files;  // what it extracted, in the order to convert them
  ~tstagedarchive();
};

// Stops and joins the thread, removes the staging folder and its files; nothing is staged after.
void DropStaged(tstagedarchive& staged);

// Starts extracting input line `index` (the archive `archive`) into a new folder of `work`; one
// staging at a time, an earlier one is dropped.
void StartStaging(tstagedarchive& staged, int index, const std::string& archive, tworkfolder& work);

// Hands the folder staged for input line `index` to `folder`, and its files, in the order to
// convert them, to `files`; false when none are ready for it (what was staged is dropped, and the
// caller extracts the archive itself).
bool TakeStaged(tstagedarchive& staged, int index, const std::string& archive,
                textractfolder& folder, std::vector<std::string>& files);
