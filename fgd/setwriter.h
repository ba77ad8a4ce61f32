#pragma once
// The writes of one ReadFeatures call into the open layer set, in the order the reader makes
// them. They are queued in blocks; once a file fills a block, a thread of its own carries them
// out while the reader goes on, so that shapelib and the kernel's writes no longer hold up the
// reading. A small file's writes are carried out by the reader itself when it is done. Only this
// writer touches the layer set between its construction and Finish.
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

class tsetwriter {
 public:
  // `failureText` is the message of a shape the library does not write ("<file>: cannot write a
  // shape of the layer <name>"); `noColumns` a layer whose table has only the FID column.
  tsetwriter(std::string failureText, bool noColumns);
  ~tsetwriter();  // waits for the block in hand and stops the thread; Finish first
  tsetwriter(const tsetwriter&) = delete;
  tsetwriter& operator=(const tsetwriter&) = delete;

  // Appends record `record`: empty, or holding its number in the FID column.
  void AddRecord(int32_t record);
  void WriteString(int32_t record, int field, std::string_view bytes);
  // Numbers too wide for their field leave it empty (null).
  void WriteInteger(int32_t record, int field, int32_t value);
  void WriteDouble(int32_t record, int field, double value);
  // One shape of `vertices` points and `parts` parts (none: one part from vertex 0); a point
  // takes the first vertex and no parts, as does a null shape. `retry`: a shape that fails to be
  // written is followed by one try of a null shape, as for a feature still open when its write
  // fails.
  void WriteShape(int32_t shapeType, const double* x, const double* y, int32_t vertices,
                  const int32_t* partStarts, const int32_t* partTypes, int32_t parts, bool retry);
  void WriteNullShape(bool retry);

  // Carries out what is queued and waits for it, then raises the first failure of a write, if
  // there was one: it came earlier in the file than anything the reader found after it. Later
  // writes were dropped.
  void Finish();

 private:
  enum class tkind : uint8_t { Record, String, Integer, Double, Shape, Null };
  struct tjob {
    tkind Kind;
    bool Retry = false;
    int32_t Record = 0, Field = 0, Value = 0;  // Value: an integer's, or a shape's type
    int32_t Parts = 0;                         // a shape's parts, from PartsAt in Parts
    uint32_t At = 0;                           // a text's NUL-ended bytes in Text, or a
    uint32_t Count = 0;                        // shape's vertices from At in X and Y
    uint32_t PartsAt = 0;
    double Number = 0;
  };
  struct tblock {
    std::vector<tjob> Jobs;
    std::vector<double> X, Y;
    std::vector<int32_t> Parts;  // starts, then types, of each shape's parts
    std::string Text;            // each value followed by a NUL, as the library takes it
    bool Full() const;
    void Clear();
  };

  void Queue(const tjob& job);
  void Drain();             // carries out what is queued and waits for it
  void HandOver();          // gives the filled block to the thread, started if need be
  void Run(tblock& block);  // carries out a block's jobs, unless a write failed before
  void RunJob(const tblock& block, const tjob& job);
  void RethrowFailure() const;
  bool AppendNull();
  void Fail();
  void Loop();
  void StopThread();

  // The blocks of the last writer, kept for the next one: a run writes many small files, and
  // blocks grown anew for each cost more than their writes.
  static thread_local tblock spareFilling_, spareHanded_;

  const std::string failureText_;
  const bool noColumns_;
  tblock filling_, handed_;
  std::vector<double> zeros_;
  std::exception_ptr failure_;
  std::thread thread_;
  std::mutex lock_;
  std::condition_variable changed_;
  bool busy_ = false;  // handed_ holds jobs the thread has not finished
  bool stop_ = false;
};
