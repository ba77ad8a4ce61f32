#pragma once
// The files of a run read ahead on reader threads of their own while the run's thread writes
// what was read before, in the run's order. The run hands over (file, catalog layer) tasks in
// the order it converts them; readers take them first come, first served, each reading one
// through ReadFeatures into a buffer of its blocks. At a task's turn the run writes those blocks
// into the real output layer, as they come, and raises what the reading raised after them: the
// layer sets get the bytes a run on one thread writes.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "catalog/catalog.h"
#include "output/feature.h"
#include "output/outputlayer.h"

namespace crs {
class tvertextransformer;
}

class treadahead {
 public:
  // `jobs` reader threads; `textForm`: the text form of the run's output layers; `heldLimit`:
  // the memory of blocks waiting for their turn beyond which a reader waits (the reader of the
  // task whose turn it is only while two of its blocks wait, so that the run always goes on
  // and memory stays bounded whatever the files). In a target CRS
  // (crs::RunTargetCrs) each reader transforms its blocks with a transformer of its own.
  treadahead(int jobs, ttextform textForm, size_t heldLimit);
  // Stops every reader at its next block and joins it, whatever way the run ends.
  ~treadahead();
  treadahead(const treadahead&) = delete;
  treadahead& operator=(const treadahead&) = delete;

  // Reads file `path` into catalog entry `entry` ahead, after every task added before it.
  void Add(const std::string& path, int32_t entry);

  // The turn of (path, entry): writes what was read of it into `output` (Begin, then every
  // block in order), widens the Extent by its coordinates and gives the datum it declares, or
  // raises what its reading raised, after the blocks read before that. False, with nothing
  // written, when no reader has started it: the caller reads it itself. Tasks added before it
  // are dropped: their turn passed.
  bool Replay(const std::string& path, int32_t entry, toutputlayer& output, tdatum& declared);

 private:
  struct ttask;
  class tbufferlayer;
  void Loop();
  void Read(ttask& task, std::optional<crs::tvertextransformer>& transformer);
  void Hold(ttask& task, const tfeatureblock& block);
  void NoteBegin(ttask& task, const std::string& source);
  void Release(ttask& task);  // under the lock
  void Spare(tfeatureblock&& block);

  const ttextform textForm_;
  const size_t heldLimit_;
  unsigned delaySeed_ = 0;  // NABIK_READER_DELAY_SEED: random waits between blocks, for tests
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<std::shared_ptr<ttask>> tasks_;   // added, not yet at their turn
  std::deque<std::shared_ptr<ttask>> queued_;  // added, not yet taken by a reader
  std::vector<tfeatureblock> spares_;          // blocks written, kept for the next ones
  size_t held_ = 0;
  uint64_t added_ = 0;
  bool ending_ = false;
  std::vector<std::thread> readers_;
};
