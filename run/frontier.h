#pragma once
// A list of files a run converts in order (the input list, or the files of an archive), with
// the archives in it extracted ahead and its files handed to the reader threads ahead, in the
// order of their turns: readers never wait at the end of an archive for the next to be opened.
#include <functional>
#include <string>
#include <vector>

#include "run/staging.h"

// The lines of a list: how many, whether each is to be converted, and each one's path.
struct tfilelist {
  int Count = 0;
  std::function<bool(int)> Checked;
  std::function<std::string(int)> Text;
};

// How far the readers have the files of a list, in the run's order: its files, and the files of
// its archives once extracted ahead, up to an archive among those (its own level reads it
// ahead at its turn) or an archive not yet extracted.
class treadfrontier {
 public:
  using thandon = std::function<void(const std::string&)>;
  treadfrontier(const tfilelist& list, const tstagingqueue& staging, thandon handOn)
      : list_(list), staging_(staging), handOn_(std::move(handOn)) {}

  // Starts with the first `from` lines with the readers.
  void StartAt(int from) { line_ = from; }
  // At the turn of line `turn`: the lines before it are done, whatever was handed on.
  void Advance(int turn);
  // Line `line`, an archive, has its turn, with `count` files: from now on its own level hands
  // them on. Gives how many of them, from the first, are with the readers already; `staged`: they
  // are the files its staging gave, else none of them are.
  int Current(int line, size_t count, bool staged);

 private:
  const tfilelist& list_;
  const tstagingqueue& staging_;
  thandon handOn_;
  int line_ = 0;       // the first line not wholly with the readers
  size_t file_ = 0;    // of its files (an archive's), those before this are
  int inCharge_ = -1;  // the line whose files its own level hands on now
};

// A list with its stagings and frontier: what converting one level of a run needs.
struct tlevel {
  tfilelist List;
  tstagingqueue Staging;
  treadfrontier Frontier;
  tlevel(tfilelist list, int stagingDepth, treadfrontier::thandon handOn)
      : List(std::move(list)), Staging(stagingDepth), Frontier(List, Staging, std::move(handOn)) {}
  // Stages the archives after line `index`, as many as the queue takes.
  void StageAfter(int index, tworkfolder& work);
};
