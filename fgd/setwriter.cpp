#include "fgd/setwriter.h"

#include <shapefil.h>

#include <system_error>
#include <utility>

#include "common/errors.h"
#include "shpctl/shpctl.h"

namespace {

// A block holds some hundred buildings or a few dozen contour lines: large enough that handing
// it over costs nothing beside its writes, small enough that memory stays flat.
constexpr size_t kBlockJobs = 8192;
constexpr size_t kBlockVertices = 32768;
constexpr size_t kBlockText = 256 << 10;

}  // namespace

bool tsetwriter::tblock::Full() const {
  return Jobs.size() >= kBlockJobs || X.size() >= kBlockVertices || Text.size() >= kBlockText;
}

void tsetwriter::tblock::Clear() {
  Jobs.clear();
  X.clear();
  Y.clear();
  Parts.clear();
  Text.clear();
}

thread_local tsetwriter::tblock tsetwriter::spareFilling_, tsetwriter::spareHanded_;

tsetwriter::tsetwriter(std::string failureText, bool noColumns)
    : failureText_(std::move(failureText)), noColumns_(noColumns) {
  std::swap(filling_, spareFilling_);
  std::swap(handed_, spareHanded_);
}

tsetwriter::~tsetwriter() {
  StopThread();
  for (tblock* block : {&filling_, &handed_}) {
    block->Clear();
    // A block grown for one very large feature is given back, not kept.
    if (block->X.capacity() > 4 * kBlockVertices || block->Text.capacity() > 4 * kBlockText)
      *block = tblock();
  }
  std::swap(filling_, spareFilling_);
  std::swap(handed_, spareHanded_);
}

void tsetwriter::StopThread() {
  if (!thread_.joinable()) return;
  {
    // The block in hand is finished first: the layer set is closed right after.
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [&] { return !busy_; });
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void tsetwriter::AddRecord(int32_t record) {
  Queue({.Kind = tkind::Record, .Record = record});
}

void tsetwriter::WriteString(int32_t record, int field, std::string_view bytes) {
  // The bytes go into the block before the job that names them: queueing may hand it over.
  const auto at = static_cast<uint32_t>(filling_.Text.size());
  filling_.Text.append(bytes);
  filling_.Text.push_back('\0');
  Queue({.Kind = tkind::String, .Record = record, .Field = field, .At = at});
}

void tsetwriter::WriteInteger(int32_t record, int field, int32_t value) {
  Queue({.Kind = tkind::Integer, .Record = record, .Field = field, .Value = value});
}

void tsetwriter::WriteDouble(int32_t record, int field, double value) {
  Queue({.Kind = tkind::Double, .Record = record, .Field = field, .Number = value});
}

void tsetwriter::WriteShape(int32_t shapeType, const double* x, const double* y, int32_t vertices,
                            const int32_t* partStarts, const int32_t* partTypes, int32_t parts,
                            bool retry) {
  tblock& b = filling_;
  const tjob job{.Kind = tkind::Shape,
                 .Retry = retry,
                 .Value = shapeType,
                 .Parts = parts,
                 .At = static_cast<uint32_t>(b.X.size()),
                 .Count = static_cast<uint32_t>(vertices),
                 .PartsAt = static_cast<uint32_t>(b.Parts.size())};
  b.X.insert(b.X.end(), x, x + vertices);
  b.Y.insert(b.Y.end(), y, y + vertices);
  b.Parts.insert(b.Parts.end(), partStarts, partStarts + parts);
  b.Parts.insert(b.Parts.end(), partTypes, partTypes + parts);
  Queue(job);
}

void tsetwriter::WriteNullShape(bool retry) {
  Queue({.Kind = tkind::Null, .Retry = retry});
}

void tsetwriter::Queue(const tjob& job) {
  filling_.Jobs.push_back(job);
  if (filling_.Full()) HandOver();
}

void tsetwriter::HandOver() {
  if (!thread_.joinable()) {
    try {
      thread_ = std::thread(&tsetwriter::Loop, this);
    } catch (const std::system_error&) {
      // No thread to be had: the reader writes the block itself.
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

void tsetwriter::Run(tblock& block) {
  for (const tjob& job : block.Jobs) {
    if (failure_) return;
    try {
      RunJob(block, job);
    } catch (...) {
      failure_ = std::current_exception();  // memory ran out: raised like a failed write
    }
  }
}

void tsetwriter::Fail() {
  // The store keeps the system's reason: a full disk and a refused file read alike otherwise.
  failure_ = std::make_exception_ptr(NabikError(failureText_ + RefusedWriteText()));
}

bool tsetwriter::AppendNull() {
  SHPObject* shape = SHPCreateSimpleObject(SHPT_NULL, 0, nullptr, nullptr, nullptr);
  const int written = shape ? SHPWriteObject(OpenSet.ShpHandle, -1, shape) : -1;
  SHPDestroyObject(shape);
  return written >= 0;
}

void tsetwriter::RunJob(const tblock& block, const tjob& job) {
  DBFHandle dbf = OpenSet.DbfHandle;
  switch (job.Kind) {
    case tkind::Record:
      if (noColumns_)
        DBFWriteIntegerAttribute(dbf, job.Record, 0, job.Record);
      else
        DBFWriteNULLAttribute(dbf, job.Record, 0);
      return;
    case tkind::String:
      DBFWriteStringAttribute(dbf, job.Record, job.Field, block.Text.data() + job.At);
      return;
    case tkind::Integer:
      // A number too wide for its field would be stored with its digits cut off, a different
      // number; the field is left empty (null) instead.
      if (!DBFWriteIntegerAttribute(dbf, job.Record, job.Field, job.Value))
        DBFWriteNULLAttribute(dbf, job.Record, job.Field);
      return;
    case tkind::Double:
      if (!DBFWriteDoubleAttribute(dbf, job.Record, job.Field, job.Number))
        DBFWriteNULLAttribute(dbf, job.Record, job.Field);
      return;
    case tkind::Null:
      if (AppendNull()) return;
      Fail();
      if (job.Retry) AppendNull();
      return;
    case tkind::Shape:
      break;
  }
  // The shape object is laid over the block instead of copied from it: a copy costs seven
  // allocations per feature. It holds what SHPCreateObject would make of the same arguments:
  // one part from vertex 0 when none is marked, and a point takes the first vertex.
  const int32_t shapeType = job.Value;
  if (zeros_.size() < job.Count) zeros_.resize(job.Count, 0.0);
  SHPObject shape{};
  shape.nSHPType = shapeType;
  shape.nShapeId = -1;
  shape.nVertices = shapeType == SHPT_POINT ? 1 : static_cast<int>(job.Count);
  shape.padfX = const_cast<double*>(block.X.data() + job.At);
  shape.padfY = const_cast<double*>(block.Y.data() + job.At);
  shape.padfZ = zeros_.data();
  shape.padfM = zeros_.data();
  int firstStart = 0, firstType = SHPP_RING;
  if (shapeType != SHPT_POINT && shapeType != SHPT_NULL) {
    if (job.Parts == 0) {
      shape.nParts = 1;
      shape.panPartStart = &firstStart;
      shape.panPartType = &firstType;
    } else {
      shape.nParts = job.Parts;
      shape.panPartStart = const_cast<int*>(block.Parts.data() + job.PartsAt);
      shape.panPartType = const_cast<int*>(block.Parts.data() + job.PartsAt + job.Parts);
    }
  }
  SHPComputeExtents(&shape);
  if (SHPWriteObject(OpenSet.ShpHandle, -1, &shape) >= 0) return;
  Fail();
  if (job.Retry) AppendNull();
}
