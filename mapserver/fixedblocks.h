#pragma once
// The six sections every map file holds between its header and its layers: output formats,
// legend, web, reference map, scale bar and query map. Each writer appends its lines to the open
// map file. Only the WEB section's MAXSCALE and the REFERENCE section's EXTENT vary.
#include <cstdio>
#include <string>
#include <string_view>

#include "fgd/extent.h"

// The open map file. Every line goes out followed by CR LF; a failed write or close raises
// NabikError "Cannot write <path>", which ends the export as an error of the run.
class tmapfile {
 public:
  // Creates (or replaces) the file; Opened() tells whether that worked.
  explicit tmapfile(const std::string& path);
  ~tmapfile();
  tmapfile(const tmapfile&) = delete;
  tmapfile& operator=(const tmapfile&) = delete;

  bool Opened() const { return file_ != nullptr; }
  void Line(std::string_view text);
  void EmptyLine() { Line({}); }
  // Flushes and closes the file, raising NabikError when the data did not reach it.
  void Close();

 private:
  [[noreturn]] void Fail();
  std::string path_;
  std::FILE* file_ = nullptr;
};

// An EXTENT number: fixed point with `decimals` digits, padded on the left to eleven characters
// and never cut.
std::string ExtentNumber(double value, int decimals);

// The four Extent numbers with six decimals each, separated by one blank.
std::string ExtentNumbers(const textent& extent);

// The WEB section's MAXSCALE value: `maxScale` unchanged when not empty; otherwise the larger
// of the rounded map units per pixel across and down (half to even). A width or height of 0 or
// less leaves its candidate out; with both out the value is 0.
std::string MaxScaleValue(const std::string& maxScale, int32_t width, int32_t height,
                          const textent& extent);

void WriteOutputFormats(tmapfile& file);
void WriteLegend(tmapfile& file);
// Reads MapSettings (MaxScale, MapWidth, MapHeight) and the Extent.
void WriteWeb(tmapfile& file);
// Reads the Extent.
void WriteReference(tmapfile& file);
void WriteScalebar(tmapfile& file);
void WriteQueryMap(tmapfile& file);
