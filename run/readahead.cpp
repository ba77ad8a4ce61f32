#include "run/readahead.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <optional>
#include <random>
#include <system_error>
#include <utility>

#include "common/errors.h"
#include "common/paths.h"
#include "common/stop.h"
#include "crs/projectedlayer.h"
#include "crs/target.h"
#include "crs/transform.h"
#include "fgd/extent.h"
#include "fgd/reader.h"

namespace {

// The file as a reader found it when it began; null when it found none.
std::optional<struct stat> FileState(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return info;
}

// Whether the file is still the one read ahead: a file removed, replaced, changed or made
// unreadable (its change time moves) since then is read again at its turn, as if never read.
bool Unchanged(const std::optional<struct stat>& was, const std::optional<struct stat>& now) {
  return was && now && SameFileState(*was, *now);
}

// The memory a held block takes: its room, not its contents (a copy's vectors may be spares'
// rooms, grown for larger blocks before).
size_t Bytes(const tfeatureblock& b) {
  return b.Features.capacity() * sizeof(tfeature) + b.Values.capacity() * sizeof(tvalue) +
         (b.X.capacity() + b.Y.capacity()) * sizeof(double) +
         (b.PartStarts.capacity() + b.PartTypes.capacity()) * sizeof(int32_t) + b.Text.capacity();
}

// Blocks of the task whose turn it is that may wait beyond the limit: the run writes them as they
// come, so its reader goes on (the limit may be full of later tasks' blocks) without holding a
// whole large file ahead of a slower writer.
constexpr size_t kTurnBlocksBeyondLimit = 2;

}  // namespace

struct treadahead::ttask {
  std::string Path;
  int32_t Entry = 0;
  enum tstate { Queued, Reading, Ended } State = Queued;
  bool Turn = false;     // its turn came: its reader waits only for its own blocks
  bool Dropped = false;  // its turn passed, or the run reads it itself: nobody wants its blocks
  bool Begun = false;
  std::string Source;               // of the layer's Begin
  std::optional<struct stat> File;  // as the reader found it when it began
  std::deque<tfeatureblock> Blocks;
  // Written by the reader until it ends, read by the run after that.
  textent Box;
  tdatum Datum = tdatum::None;
  std::exception_ptr Failure;
  std::mt19937 Random;
};

// What a reader reads into: the task's blocks, copied, for the run to write at its turn.
class treadahead::tbufferlayer final : public toutputlayer {
 public:
  tbufferlayer(treadahead& owner, ttask& task) : owner_(owner), task_(task) {}
  ttextform TextForm() const override { return owner_.textForm_; }
  void Begin(const std::string& source) override { owner_.NoteBegin(task_, source); }
  void Write(const tfeatureblock& block) override { owner_.Hold(task_, block); }

 private:
  treadahead& owner_;
  ttask& task_;
};

treadahead::treadahead(int jobs, ttextform textForm, size_t heldLimit)
    : textForm_(textForm), heldLimit_(heldLimit) {
  if (const char* seed = std::getenv("NABIK_READER_DELAY_SEED"); seed && *seed)
    delaySeed_ = static_cast<unsigned>(std::strtoul(seed, nullptr, 10)) | 1u;
  for (int i = 0; i < jobs; ++i) {
    try {
      readers_.emplace_back(&treadahead::Loop, this);
    } catch (const std::system_error&) {
      break;  // fewer readers; with none the run reads every file itself
    }
  }
}

treadahead::~treadahead() {
  {
    const std::lock_guard<std::mutex> hold(lock_);
    ending_ = true;
  }
  changed_.notify_all();
  for (std::thread& reader : readers_) reader.join();
}

void treadahead::Add(const std::string& path, int32_t entry) {
  auto task = std::make_shared<ttask>();
  task->Path = path;
  task->Entry = entry;
  {
    const std::lock_guard<std::mutex> hold(lock_);
    task->Random.seed(delaySeed_ + static_cast<unsigned>(added_++));
    tasks_.push_back(task);
    queued_.push_back(std::move(task));
  }
  changed_.notify_all();
}

void treadahead::Loop() {
  // Built at this reader's first task: PROJ objects are for one thread at a time.
  std::optional<crs::tvertextransformer> transformer;
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    changed_.wait(hold, [&] { return ending_ || !queued_.empty(); });
    if (ending_) return;
    const std::shared_ptr<ttask> task = std::move(queued_.front());
    queued_.pop_front();
    if (task->State != ttask::Queued || task->Dropped) continue;
    task->State = ttask::Reading;
    task->File = FileState(task->Path);  // before the reading opens it
    hold.unlock();
    Read(*task, transformer);
    hold.lock();
    task->State = ttask::Ended;
    if (task->Dropped) Release(*task);
    changed_.notify_all();
  }
}

void treadahead::Read(ttask& task, std::optional<crs::tvertextransformer>& transformer) {
  tbufferlayer buffer(*this, task);
  SetReadingExtent(&task.Box);
  try {
    task.Datum = crs::ReadFeaturesInTarget(task.Path, task.Entry, buffer, transformer);
  } catch (...) {
    task.Failure = std::current_exception();
  }
  SetReadingExtent(nullptr);
}

void treadahead::NoteBegin(ttask& task, const std::string& source) {
  {
    const std::lock_guard<std::mutex> hold(lock_);
    task.Source = source;
    task.Begun = true;
  }
  changed_.notify_all();
}

void treadahead::Hold(ttask& task, const tfeatureblock& block) {
  if (delaySeed_) std::this_thread::sleep_for(std::chrono::microseconds(100 + task.Random() % 600));
  CheckStop();  // a stop ends the reading at a block, as it ends the run's own
  std::unique_lock<std::mutex> hold(lock_);
  const auto unwanted = [&] { return ending_ || task.Dropped; };
  changed_.wait(hold, [&] {
    return unwanted() || held_ < heldLimit_ ||
           (task.Turn && task.Blocks.size() < kTurnBlocksBeyondLimit);
  });
  if (unwanted()) throw NabikError(task.Path + ": no longer wanted");
  tfeatureblock copy;
  if (!spares_.empty()) {
    copy = std::move(spares_.back());
    spares_.pop_back();
  }
  hold.unlock();
  copy = block;  // assignment reuses the spare's room
  const size_t bytes = Bytes(copy);
  hold.lock();
  if (unwanted()) {
    Spare(std::move(copy));
    throw NabikError(task.Path + ": no longer wanted");
  }
  held_ += bytes;
  task.Blocks.push_back(std::move(copy));
  hold.unlock();
  changed_.notify_all();
}

void treadahead::Spare(tfeatureblock&& block) {
  // Enough for every reader's next block; more would only hold memory beside the limit.
  if (spares_.size() >= 2 * readers_.size()) return;
  block.Clear();
  spares_.push_back(std::move(block));
}

void treadahead::Release(ttask& task) {
  for (tfeatureblock& block : task.Blocks) {
    held_ -= Bytes(block);
    Spare(std::move(block));
  }
  task.Blocks.clear();
}

bool treadahead::Replay(const std::string& path, int32_t entry, toutputlayer& output,
                        tdatum& declared) {
  std::unique_lock<std::mutex> hold(lock_);
  const auto at = std::find_if(tasks_.begin(), tasks_.end(), [&](const auto& task) {
    return task->Entry == entry && task->Path == path;
  });
  if (at == tasks_.end()) return false;
  for (auto it = tasks_.begin(); it != at; ++it) {
    (*it)->Dropped = true;
    Release(**it);
  }
  const std::shared_ptr<ttask> task = *at;
  tasks_.erase(tasks_.begin(), at + 1);
  if (task->State == ttask::Queued || !Unchanged(task->File, FileState(path))) {
    // No reader has it (the run reads it at once instead of waiting), or what was read is no
    // longer the file.
    task->Dropped = true;
    Release(*task);
    hold.unlock();
    changed_.notify_all();
    return false;
  }
  task->Turn = true;
  changed_.notify_all();
  try {
    bool begun = false;
    for (;;) {
      changed_.wait(hold, [&] {
        return (task->Begun && !begun) || !task->Blocks.empty() || task->State == ttask::Ended;
      });
      if (task->Begun && !begun) {
        begun = true;
        const std::string source = task->Source;
        hold.unlock();
        output.Begin(source);
        hold.lock();
      } else if (!task->Blocks.empty()) {
        tfeatureblock block = std::move(task->Blocks.front());
        task->Blocks.pop_front();
        held_ -= Bytes(block);
        hold.unlock();
        changed_.notify_all();  // room for the readers that wait
        output.Write(block);
        hold.lock();
        Spare(std::move(block));
      } else {
        break;
      }
    }
  } catch (...) {
    if (!hold.owns_lock()) hold.lock();
    task->Dropped = true;
    Release(*task);
    throw;
  }
  hold.unlock();
  WidenExtent(Extent, task->Box);
  if (task->Failure) std::rethrow_exception(task->Failure);
  declared = task->Datum;
  return true;
}
