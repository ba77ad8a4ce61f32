#include "run/frontier.h"

#include "run/unzip.h"

void treadfrontier::Advance(int turn) {
  if (line_ < turn) {
    line_ = turn;
    file_ = 0;
  }
  while (line_ < list_.Count && line_ != inCharge_) {
    if (!list_.Checked(line_)) {
      ++line_;
      continue;
    }
    const std::string path = list_.Text(line_);
    if (IsArchive(path)) {
      const std::vector<std::string>* files = staging_.Ready(line_);
      if (!files) return;
      for (; file_ < files->size(); ++file_) {
        if (IsArchive((*files)[file_])) return;
        handOn_((*files)[file_]);
      }
    } else {
      handOn_(path);
    }
    ++line_;
    file_ = 0;
  }
}

int treadfrontier::Current(int line, size_t count, bool staged) {
  int handed = 0;
  if (staged && line_ > line) handed = static_cast<int>(count);
  if (staged && line_ == line) handed = static_cast<int>(file_);
  // Extracted again, what was handed on of it is not these files: the lines after it go again
  // once it is done.
  if (line_ <= line || !staged) {
    line_ = line;
    file_ = 0;
  }
  inCharge_ = line;
  return handed;
}

void tlevel::StageAfter(int index, tworkfolder& work) {
  for (int j = index + 1; j < List.Count && !Staging.Full(); ++j)
    if (List.Checked(j) && IsArchive(List.Text(j))) Staging.Stage(j, List.Text(j), work);
}
