#pragma once
// How far a run is: the checked input lines done of all and the bytes of XML converted of what
// the inputs hold, with the rate and the time left, for the batch mode's terminal line and the
// window's progress bar.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct tfrontend;

// The figures a front end is given as the run goes.
struct tprogress {
  int LinesDone = 0, LinesTotal = 0;       // checked input lines (an archive is one line)
  uint64_t BytesDone = 0, BytesTotal = 0;  // XML bytes converted, of what the inputs hold
  double Seconds = 0;                      // since the run started
};

// The bytes of XML an input stands for: a plain file's size; for a zip archive the sizes its
// file entries inflate to, as its central directory gives them, except that an archive inside
// counts by its own size (what it holds is known only once it is extracted). 0 for a file that
// cannot be read.
uint64_t InputBytes(const std::string& path);

// The figures as texts: "12/160" lines, "310/2500" MB (one decimal below 10 MB), "240" MB/s and
// "0:09" left at the rate so far ("--" and "-:--" before anything is done).
struct tprogresstexts {
  std::string Lines, Megabytes, Rate, Left;
};
tprogresstexts ProgressTexts(const tprogress& p);
// The seconds left at the rate so far; -1 while nothing is done.
int SecondsLeft(const tprogress& p);
// "12/160 files  310/2500 MB  240 MB/s  0:09 left"
std::string ProgressLine(const tprogress& p);
// `utf8` cut to at most `columns` columns of a terminal (East Asian wide characters take two).
std::string FitColumns(const std::string& utf8, int columns);
int TerminalColumns(const std::string& utf8);

// The count of one run, from RunConversion's start to its end; nothing is counted when the front
// end takes no progress. The totals are read from the checked lines at the start. A line is done
// when the run unchecks it; the bytes of a file as its conversion ends.
class tprogresscount {
 public:
  explicit tprogresscount(const tfrontend& front);
  ~tprogresscount();
  tprogresscount(const tprogresscount&) = delete;
  tprogresscount& operator=(const tprogresscount&) = delete;
  // The front end the run goes through: `front`, with every unchecked line counted done.
  tfrontend Counting(const tfrontend& front);

  void FileDone(uint64_t bytes);
  void Revise(int64_t bytes);
  void LineDone(int line);

 private:
  void Report();

  std::function<void(const tprogress&)> report_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::vector<int64_t> lines_;  // each line's bytes; -1: not checked at the start
  tprogress figures_;
  int next_ = 0;           // the first line not done
  int64_t total_ = 0;      // the bytes of the run, as far as they are known
  uint64_t finished_ = 0;  // the bytes of the lines done
  uint64_t current_ = 0;   // the bytes of the files done of the line under way
  int64_t revised_ = 0;    // what its archives inside changed of its bytes
};

// Into the running count, if any: a converted (or skipped) file of `path`, and an archive inside
// an archive about to be extracted (its own size is replaced by what it holds).
void CountFileDone(const std::string& path);
void CountNestedArchive(const std::string& path);
