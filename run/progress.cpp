#include "run/progress.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "run/driver.h"
#include "run/unzip.h"

namespace {

// The count of the run under way, for the driver's calls that do not carry it.
tprogresscount* Running = nullptr;

uint64_t FileBytes(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
}

std::string Printed(const char* format, double value) {
  char text[32];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// Megabytes with one decimal where whole ones would say nothing of a small run.
std::string Megabytes(uint64_t bytes, bool decimal) {
  return Printed(decimal ? "%.1f" : "%.0f", static_cast<double>(bytes) / 1e6);
}

std::string ClockText(int seconds) {
  if (seconds < 0) return "-:--";
  char text[32];
  if (seconds >= 3600)
    std::snprintf(text, sizeof text, "%d:%02d:%02d", seconds / 3600, seconds / 60 % 60,
                  seconds % 60);
  else
    std::snprintf(text, sizeof text, "%d:%02d", seconds / 60, seconds % 60);
  return text;
}

// The code point at `at` and its length in bytes; a stray byte stands for itself.
char32_t Decode(const std::string& s, size_t at, size_t& length) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = byte(at);
  length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  if (at + length > s.size()) length = 1;
  if (length == 1) return lead;
  char32_t c = lead & (0x7F >> length);
  for (size_t i = 1; i < length; ++i) c = (c << 6) | (byte(at + i) & 0x3F);
  return c;
}

bool Wide(char32_t c) {
  static constexpr char32_t kWide[][2] = {{0x1100, 0x115F}, {0x2E80, 0x303E}, {0x3041, 0x33FF},
                                          {0x3400, 0x4DBF}, {0x4E00, 0x9FFF}, {0xA000, 0xA4CF},
                                          {0xAC00, 0xD7A3}, {0xF900, 0xFAFF}, {0xFE30, 0xFE4F},
                                          {0xFF00, 0xFF60}, {0xFFE0, 0xFFE6}, {0x20000, 0x3FFFD}};
  for (const auto& range : kWide)
    if (c >= range[0] && c <= range[1]) return true;
  return false;
}

}  // namespace

uint64_t InputBytes(const std::string& path) {
  return IsArchive(path) ? ZipInflatedBytes(path) : FileBytes(path);
}

int SecondsLeft(const tprogress& p) {
  if (p.BytesDone == 0 || p.Seconds <= 0) return -1;
  if (p.BytesDone >= p.BytesTotal) return 0;
  const double left = static_cast<double>(p.BytesTotal - p.BytesDone) * p.Seconds /
                      static_cast<double>(p.BytesDone);
  return static_cast<int>(std::min(std::ceil(left), 360000.0 - 1));
}

tprogresstexts ProgressTexts(const tprogress& p) {
  tprogresstexts texts;
  texts.Lines = std::to_string(p.LinesDone) + "/" + std::to_string(p.LinesTotal);
  const bool small = p.BytesTotal < 10'000'000;
  texts.Megabytes = Megabytes(p.BytesDone, small) + "/" + Megabytes(p.BytesTotal, small);
  if (p.BytesDone == 0 || p.Seconds <= 0) {
    texts.Rate = "--";
  } else {
    const double rate = static_cast<double>(p.BytesDone) / p.Seconds / 1e6;
    texts.Rate = Printed(rate < 10 ? "%.1f" : "%.0f", rate);
  }
  texts.Left = ClockText(SecondsLeft(p));
  return texts;
}

std::string ProgressLine(const tprogress& p) {
  const tprogresstexts t = ProgressTexts(p);
  return t.Lines + " files  " + t.Megabytes + " MB  " + t.Rate + " MB/s  " + t.Left + " left";
}

int TerminalColumns(const std::string& utf8) {
  int columns = 0;
  for (size_t at = 0, length = 0; at < utf8.size(); at += length)
    columns += Wide(Decode(utf8, at, length)) ? 2 : 1;
  return columns;
}

std::string FitColumns(const std::string& utf8, int columns) {
  int used = 0;
  size_t at = 0, length = 0;
  for (; at < utf8.size(); at += length) {
    const int width = Wide(Decode(utf8, at, length)) ? 2 : 1;
    if (used + width > columns) break;
    used += width;
  }
  return utf8.substr(0, at);
}

tprogresscount::tprogresscount(const tfrontend& front) : report_(front.Progress) {
  if (!report_) return;
  const int count = front.InputCount();
  lines_.assign(static_cast<size_t>(std::max(count, 0)), -1);
  int64_t total = 0;
  for (int i = 0; i < count; ++i) {
    if (!front.InputChecked(i)) continue;
    lines_[i] = static_cast<int64_t>(InputBytes(front.InputText(i)));
    total += lines_[i];
    ++figures_.LinesTotal;
  }
  total_ = total;
  Running = this;
  Report();
}

tprogresscount::~tprogresscount() {
  if (Running == this) Running = nullptr;
}

tfrontend tprogresscount::Counting(const tfrontend& front) {
  tfrontend counted = front;
  if (report_)
    counted.UncheckInput = [this, uncheck = front.UncheckInput](int line) {
      uncheck(line);
      LineDone(line);
    };
  return counted;
}

void tprogresscount::FileDone(uint64_t bytes) {
  current_ += bytes;
  Report();
}

void tprogresscount::Revise(int64_t bytes) {
  revised_ += bytes;
  total_ += bytes;
}

void tprogresscount::LineDone(int line) {
  if (line < next_ || line >= static_cast<int>(lines_.size())) return;
  // Lines unchecked before their turn (in the window) are no longer part of the run.
  for (; next_ < line; ++next_) {
    if (lines_[next_] < 0) continue;
    total_ -= lines_[next_];
    --figures_.LinesTotal;
  }
  int64_t bytes = lines_[line] + revised_;
  if (lines_[line] < 0) {  // checked after the start: counted as it went
    bytes = static_cast<int64_t>(current_);
    total_ += bytes - revised_;
    ++figures_.LinesTotal;
  }
  finished_ += static_cast<uint64_t>(std::max<int64_t>(bytes, 0));
  ++figures_.LinesDone;
  next_ = line + 1;
  current_ = 0;
  revised_ = 0;
  Report();
}

void tprogresscount::Report() {
  const uint64_t total = static_cast<uint64_t>(std::max<int64_t>(total_, 0));
  // The line under way counts no more than it holds, whatever its files turned out to be.
  uint64_t line = current_;
  if (next_ < static_cast<int>(lines_.size()) && lines_[next_] >= 0)
    line = std::min(line, static_cast<uint64_t>(std::max<int64_t>(lines_[next_] + revised_, 0)));
  figures_.BytesTotal = total;
  figures_.BytesDone = std::min(finished_ + line, total);
  figures_.Seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  report_(figures_);
}

void CountFileDone(const std::string& path) {
  if (Running) Running->FileDone(FileBytes(path));
}

void CountNestedArchive(const std::string& path) {
  if (Running)
    Running->Revise(static_cast<int64_t>(InputBytes(path)) - static_cast<int64_t>(FileBytes(path)));
}
