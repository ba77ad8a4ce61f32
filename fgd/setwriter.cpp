#include "fgd/setwriter.h"

#include <system_error>
#include <utility>

namespace {

// A block holds some hundred buildings or a few dozen contour lines: large enough that handing
// it over costs nothing beside its writes, small enough that memory stays flat.
constexpr size_t kBlockFeatures = 1024;
constexpr size_t kBlockValues = 8192;
constexpr size_t kBlockVertices = 32768;
constexpr size_t kBlockText = 256 << 10;

}  // namespace

bool tsetwriter::Full(const tfeatureblock& b) {
  return b.Features.size() >= kBlockFeatures || b.Values.size() >= kBlockValues ||
         b.X.size() >= kBlockVertices || b.Text.size() >= kBlockText;
}

thread_local tfeatureblock tsetwriter::spareFilling_, tsetwriter::spareHanded_;

tsetwriter::tsetwriter(toutputlayer& layer, int32_t shapeType) : layer_(layer) {
  std::swap(filling_, spareFilling_);
  std::swap(handed_, spareHanded_);
  filling_.ShapeType = handed_.ShapeType = shapeType;
}

tsetwriter::~tsetwriter() {
  StopThread();
  for (tfeatureblock* block : {&filling_, &handed_}) {
    block->Clear();
    // A block grown for one very large feature is given back, not kept.
    if (block->X.capacity() > 4 * kBlockVertices || block->Text.capacity() > 4 * kBlockText)
      *block = tfeatureblock();
  }
  std::swap(filling_, spareFilling_);
  std::swap(handed_, spareHanded_);
}

void tsetwriter::StopThread() {
  if (!thread_.joinable()) return;
  {
    // The block in hand is finished first: the layer is closed right after.
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [&] { return !busy_; });
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void tsetwriter::StartFeature() {
  // Blocks change only between features: a feature and the values after its end stay together.
  if (Full(filling_)) HandOver();
  filling_.Features.push_back({.ValuesAt = static_cast<uint32_t>(filling_.Values.size())});
}

void tsetwriter::AddValue(const tvalue& value) {
  filling_.Values.push_back(value);
  if (filling_.Features.empty())
    filling_.LeadingValues = static_cast<uint32_t>(filling_.Values.size());
}

void tsetwriter::Text(int32_t k, std::string_view bytes) {
  const auto at = static_cast<uint32_t>(filling_.Text.size());
  filling_.Text.append(bytes);
  filling_.Text.push_back('\0');
  AddValue({.Column = k, .TextAt = at});
}

void tsetwriter::Integer(int32_t k, int32_t value) {
  AddValue({.Column = k, .Integer = value});
}

void tsetwriter::Real(int32_t k, double value) {
  AddValue({.Column = k, .Real = value});
}

void tsetwriter::EndShape(const double* x, const double* y, int32_t vertices,
                          const int32_t* partStarts, const int32_t* partTypes, int32_t parts) {
  tfeatureblock& b = filling_;
  tfeature& f = b.Features.back();
  f.End = tfeatureend::Shape;
  f.VerticesAt = static_cast<uint32_t>(b.X.size());
  f.Vertices = static_cast<uint32_t>(vertices);
  f.PartsAt = static_cast<uint32_t>(b.PartStarts.size());
  f.Parts = static_cast<uint32_t>(parts);
  b.X.insert(b.X.end(), x, x + vertices);
  b.Y.insert(b.Y.end(), y, y + vertices);
  b.PartStarts.insert(b.PartStarts.end(), partStarts, partStarts + parts);
  b.PartTypes.insert(b.PartTypes.end(), partTypes, partTypes + parts);
}

void tsetwriter::EndEmpty() {
  filling_.Features.back().End = tfeatureend::Empty;
}

void tsetwriter::HandOver() {
  if (!thread_.joinable()) {
    try {
      thread_ = std::thread(&tsetwriter::Loop, this);
    } catch (const std::system_error&) {
      // No thread to be had: the reader hands the block over itself.
      filling_.Datum = datum_;
      Run(filling_);
      filling_.Clear();
      RethrowFailure();
      return;
    }
  }
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait(hold, [&] { return !busy_; });
  // A write that failed ends the reading, as it would have at once without the thread.
  RethrowFailure();
  filling_.Datum = datum_;
  std::swap(filling_, handed_);
  filling_.Clear();
  busy_ = true;
  hold.unlock();
  changed_.notify_all();
}

void tsetwriter::Drain() {
  if (thread_.joinable()) {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [&] { return !busy_; });
  }
  filling_.Datum = datum_;
  Run(filling_);
  filling_.Clear();
}

void tsetwriter::Finish() {
  Drain();
  RethrowFailure();
}

void tsetwriter::RethrowFailure() const {
  // Read after the thread has finished its block, under the lock that says so.
  if (failure_) std::rethrow_exception(failure_);
}

void tsetwriter::Loop() {
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    changed_.wait(hold, [&] { return busy_ || stop_; });
    if (stop_) return;
    hold.unlock();
    Run(handed_);
    hold.lock();
    busy_ = false;
    changed_.notify_all();
  }
}

void tsetwriter::Run(tfeatureblock& block) {
  if (failure_ || (block.Features.empty() && block.Values.empty())) return;
  try {
    layer_.Write(block);
  } catch (...) {
    failure_ = std::current_exception();  // a failed write, or memory ran out
  }
}
