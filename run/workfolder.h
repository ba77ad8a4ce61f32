#pragma once
// The run's work folder, tmp/ in the output folder. Each archive is extracted into a folder of
// its own below it, named by digits and one dot (the process and a count), so that what the run
// adds to a file's path never matches a layer name, and holding a mark file beside the entries'
// folders. The run removes such a folder when its archive is done, whatever way; one left by a
// killed run is removed by the next run into the output folder before it starts. Nothing else in
// tmp/ is read, changed or removed.
#include <string>
#include <utility>

class tworkfolder {
 public:
  // `outputFolder` ends in '/' or is empty; nothing is made yet.
  explicit tworkfolder(const std::string& outputFolder);

  // Removes the extraction folders an earlier run left, and nothing else. Only while holding the
  // output folder's lock: then no other run is using one.
  void RemoveLeftovers() const;

  // Makes a new, empty extraction folder (and tmp/ when it is missing); raises NabikError with
  // the system's reason when it cannot.
  std::string NewFolder();

  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  unsigned next_ = 0;
};

// One extraction folder, removed with all it holds when this goes (or Remove is called).
class textractfolder {
 public:
  textractfolder() = default;
  explicit textractfolder(std::string path) : path_(std::move(path)) {}
  ~textractfolder() { Remove(); }
  textractfolder(textractfolder&& other) noexcept : path_(std::move(other.path_)) {
    other.path_.clear();
  }
  textractfolder& operator=(textractfolder&& other) noexcept;
  textractfolder(const textractfolder&) = delete;
  textractfolder& operator=(const textractfolder&) = delete;

  const std::string& Path() const { return path_; }
  bool Empty() const { return path_.empty(); }
  void Remove();

 private:
  std::string path_;
};
