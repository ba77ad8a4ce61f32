#pragma once
// The features of one ReadFeatures call on their way to the output layer, in the order the
// reader finishes them. They are gathered in blocks; once a file fills a block, a thread of its
// own hands the blocks to the layer while the reader goes on, so that the layer's writes no
// longer hold up the reading. A small file's block is handed over by the reader itself when it
// is done. Only this writer touches the layer between its construction and Finish.
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string_view>
#include <thread>

#include "output/feature.h"
#include "output/outputlayer.h"

class tsetwriter {
 public:
  // `shapeType`: the shapefile type of the layer's shapes (1 point, 3 line, 5 polygon).
  tsetwriter(toutputlayer& layer, int32_t shapeType);
  ~tsetwriter();  // waits for the block in hand and stops the thread; Finish first
  tsetwriter(const tsetwriter&) = delete;
  tsetwriter& operator=(const tsetwriter&) = delete;

  // A new feature, open until one of the End calls.
  void StartFeature();
  // A value of column k for the last feature started (the text in the layer's text form).
  void Text(int32_t k, std::string_view bytes);
  void Integer(int32_t k, int32_t value);
  void Real(int32_t k, double value);
  // The last feature's end: a shape of `vertices` points and `parts` parts (none: one part from
  // vertex 0), or none.
  void EndShape(const double* x, const double* y, int32_t vertices, const int32_t* partStarts,
                const int32_t* partTypes, int32_t parts);
  void EndEmpty();
  // The datum the file declares, given to the blocks handed over from now on.
  void SetDatum(tdatum datum) { datum_ = datum; }

  // Hands over what is gathered and waits for it, then raises the first failure of a write, if
  // there was one: it came earlier in the file than anything the reader found after it. Later
  // blocks were dropped.
  void Finish();

 private:
  void AddValue(const tvalue& value);
  void Drain();                    // hands over what is gathered and waits for it
  void HandOver();                 // gives the filled block to the thread, started if need be
  void Run(tfeatureblock& block);  // hands a block to the layer, unless a write failed before
  void RethrowFailure() const;
  void Loop();
  void StopThread();
  static bool Full(const tfeatureblock& block);

  // The blocks of the last writer, kept for the next one: a run reads many small files, and
  // blocks grown anew for each cost more than their writes.
  static thread_local tfeatureblock spareFilling_, spareHanded_;

  toutputlayer& layer_;
  tdatum datum_ = tdatum::None;
  tfeatureblock filling_, handed_;
  std::exception_ptr failure_;
  std::thread thread_;
  std::mutex lock_;
  std::condition_variable changed_;
  bool busy_ = false;  // handed_ holds a block the thread has not finished
  bool stop_ = false;
};
