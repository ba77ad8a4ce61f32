#include "run/driver.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "catalog/catalog.h"
#include "common/errors.h"
#include "common/paths.h"
#include "common/text.h"
#include "common/textfile.h"
#include "fgd/reader.h"
#include "mapserver/ms8export.h"
#include "mapserver/webexport.h"
#include "run/unzip.h"
#include "shpctl/shpctl.h"
#include "susetu/susetu.h"
#include "unlha32/unlha32.h"

std::vector<std::string> RunWarnings;

namespace {

std::string Upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

// Closes the open layer set on every way out, so that what was written stays readable.
struct LayerSetGuard {
  ~LayerSetGuard() { CloseLayerFiles(); }
};

// The entries of `folder` in the order the file system lists them, without "." and "..".
std::vector<std::string> ListFolder(const std::string& folder) {
  std::vector<std::string> names;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), &closedir);
  if (!dir) throw NabikError("Cannot read the folder " + folder + ": " + std::strerror(errno));
  while (const dirent* item = readdir(dir.get())) {
    const std::string name = item->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  return names;
}

bool IsRegularFile(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The run list: every input line, checked or not, each with CR LF. A list that cannot be
// created is skipped; a write that fails part way is an error (it would leave a cut list).
void WriteConversionList(tfrontend& front) {
  std::vector<std::string> lines;
  const int count = front.InputCount();
  for (int i = 0; i < count; ++i) lines.push_back(front.InputText(i));
  WriteTextLines(front.OutputPathText(), lines);
}

bool IsArchive(const std::string& path) {
  return Upper(FileExtPart(path)) == ".ZIP";
}

void Warn(tfrontend& front, const std::string& text) {
  if (front.Warn) front.Warn(text);
}

// One file of the input list or of a work folder, counted for the closing texts.
void ConvertListedFile(tfrontend& front, const std::string& outputFolder, const std::string& path) {
  if (ConvertFile(outputFolder, path, front.ProcessMessages)) {
    ++RunTally.FilesConverted;
  } else {
    ++RunTally.FilesUnmatched;
    Warn(front, path + ": no layer of the catalog matches this file");
  }
}

// The next archive of the input list, extracted ahead on one thread of its own into a folder of
// the work folder while the files of the current archive are converted (so the conversion keeps
// its core). At its turn its files are moved into the work folder; when anything went wrong
// there, it is extracted again as if never staged, so that its message and what it leaves are
// those of a plain extraction, and so it is when the archive was changed, removed or made
// unreadable since it was staged. The thread is stopped and joined and the folder removed on
// every way out.
struct tstagedarchive {
  int Index = -1;  // the input line; -1: nothing staged
  std::string Archive, Folder;
  struct stat File {};  // the archive as it was when staged
  std::thread Thread;
  std::atomic<bool> Stop{false};
  bool Extracted = false;          // set by the thread; read once it is joined
  std::vector<std::string> Names;  // what it committed, in archive order
  ~tstagedarchive();
};

void DropStaged(tstagedarchive& staged) {
  if (staged.Thread.joinable()) {
    staged.Stop = true;
    staged.Thread.join();
  }
  if (!staged.Folder.empty()) {
    try {
      for (const std::string& name : ListFolder(staged.Folder))
        ::unlink((staged.Folder + "/" + name).c_str());
    } catch (const NabikError&) {
    }
    ::rmdir(staged.Folder.c_str());
  }
  staged.Index = -1;
  staged.Archive.clear();
  staged.Folder.clear();
  staged.Names.clear();
  staged.Extracted = false;
  staged.Stop = false;
}

tstagedarchive::~tstagedarchive() {
  DropStaged(*this);
}

// Staging holds a second archive's files on the disk at once: it is done only where they leave
// room for the conversion's own files, so that a disk a run fits today still takes it.
constexpr uint64_t kStagingReserveBytes = uint64_t{256} << 20;

bool RoomToStage(const std::string& archive, const std::string& folder) {
  struct statvfs room;
  if (::statvfs(folder.c_str(), &room) != 0) return false;
  const uint64_t free = uint64_t{room.f_bavail} * room.f_frsize;
  const uint64_t inflated = ZipInflatedBytes(archive);
  return inflated <= free / 2 && free - 2 * inflated >= kStagingReserveBytes;
}

// Starts extracting input line `index` into a folder of `workFolder` named like none of
// `listed` (what the work folder held when it was last listed).
void StartStaging(tstagedarchive& staged, int index, const std::string& archive,
                  const std::string& workFolder, const std::vector<std::string>& listed) {
  DropStaged(staged);  // one at a time
  std::string name = ".nabik-next";
  while (std::find(listed.begin(), listed.end(), name) != listed.end()) name += '-';
  const std::string folder = workFolder + "/" + name;
  if (::stat(archive.c_str(), &staged.File) != 0) return;  // its turn says why
  if (::mkdir(folder.c_str(), 0755) != 0) return;          // then it is extracted at its turn
  staged.Index = index;
  staged.Archive = archive;
  staged.Folder = folder;
  try {
    staged.Thread = std::thread([&staged] {
      try {
        if (!RoomToStage(staged.Archive, staged.Folder)) return;
        tzipoptions options;
        options.MaxThreads = 1;
        options.Stop = &staged.Stop;
        options.Committed = &staged.Names;
        ExtractZipFlat(staged.Archive, staged.Folder, options);
        staged.Extracted = true;
      } catch (const std::exception&) {
        // Left to the archive's turn, which extracts it again and raises what goes wrong.
      }
    });
  } catch (const std::system_error&) {
    DropStaged(staged);  // no thread to be had: extracted at its turn
  }
}

// Moves the files staged for input line `index` into `workFolder` in archive order, as the
// archive's own extraction would commit them; false when none are ready for it (what was staged
// is dropped, and the caller extracts the archive itself).
bool TakeStaged(tstagedarchive& staged, int index, const std::string& archive,
                const std::string& workFolder) {
  if (staged.Index != index || staged.Archive != archive) {
    DropStaged(staged);
    return false;
  }
  staged.Thread.join();
  struct stat now;
  const struct stat& was = staged.File;
  const bool same =
      ::stat(archive.c_str(), &now) == 0 && ::access(archive.c_str(), R_OK) == 0 &&
      now.st_dev == was.st_dev && now.st_ino == was.st_ino && now.st_size == was.st_size &&
      now.st_mode == was.st_mode && now.st_mtim.tv_sec == was.st_mtim.tv_sec &&
      now.st_mtim.tv_nsec == was.st_mtim.tv_nsec && now.st_ctim.tv_sec == was.st_ctim.tv_sec &&
      now.st_ctim.tv_nsec == was.st_ctim.tv_nsec;
  if (!staged.Extracted || !same) {
    DropStaged(staged);
    return false;
  }
  // A name met twice in the archive is there once, with its later entry's bytes.
  std::unordered_map<std::string, size_t> last;
  for (size_t k = 0; k < staged.Names.size(); ++k) last[staged.Names[k]] = k;
  for (size_t k = 0; k < staged.Names.size(); ++k) {
    const std::string& name = staged.Names[k];
    if (last[name] != k) continue;
    const std::string target = workFolder + "/" + name;
    if (::rename((staged.Folder + "/" + name).c_str(), target.c_str()) != 0)
      throw NabikError("Cannot write " + target + ": " + std::strerror(errno));
  }
  DropStaged(staged);
  return true;
}

// An archive given as input line `Index` (of `Count`), with what is staged for the next one.
struct tinputarchive {
  tstagedarchive& Staged;
  int Index, Count;
};

// Stages the next checked input line after `input` that is an archive.
void StageNextArchive(tfrontend& front, const tinputarchive& input, const std::string& workFolder,
                      const std::vector<std::string>& listed) {
  for (int j = input.Index + 1; j < input.Count; ++j) {
    if (!front.InputChecked(j)) continue;
    const std::string next = front.InputText(j);
    if (!IsArchive(next)) continue;
    StartStaging(input.Staged, j, next, workFolder, listed);
    return;
  }
}

// Extracts `archive` flat into the work folder and converts what lies there, in the order the
// file system lists it. An archive among those files goes the same way one level down, into a
// folder of its own inside the work folder (named by its level), converted before the next file
// of this level: so its files cannot replace files of this level not yet converted, nor be
// listed twice. An archive given as input (`input` set) may have been staged; once its files
// are listed, the next input archive is staged while they are converted.
void ConvertArchive(tfrontend& front, const std::string& outputFolder, const std::string& archive,
                    int level, const tinputarchive* input = nullptr) {
  const std::string workFolder =
      outputFolder + "tmp" + (level == 0 ? std::string() : "/" + std::to_string(level));
  front.SetStatus(Sjis("解凍中"));
  front.ProcessMessages();
  if (!DirectoryExists(workFolder) && !ForceDirectories(workFolder))
    throw NabikError("Cannot create the folder " + workFolder + ": " + std::strerror(errno));
  if (!input || !TakeStaged(input->Staged, input->Index, archive, workFolder))
    ExtractZipFlat(archive, workFolder);
  const std::vector<std::string> names = ListFolder(workFolder);
  std::vector<std::string> extracted;
  for (const std::string& name : names) {
    extracted.push_back(workFolder + "/" + name);
    front.SetStatus(extracted.back());
  }
  if (input) StageNextArchive(front, *input, workFolder, names);
  for (const std::string& path : extracted) {
    front.SetStatus(path + ProcessingText());
    front.ProcessMessages();
    // Folders and other non-files in the work folder are listed but not read.
    if (!IsRegularFile(path)) continue;
    if (!IsArchive(path)) {
      ConvertListedFile(front, outputFolder, path);
    } else if (level < kMaxArchiveNesting) {
      ConvertArchive(front, outputFolder, path, level + 1);
    } else {
      ++RunTally.FilesUnmatched;
      Warn(front, path + ": archive nested more than " + std::to_string(kMaxArchiveNesting) +
                      " levels deep, skipped");
    }
    ::unlink(path.c_str());
  }
  // An inner level's folder goes once it is empty; the work folder itself stays.
  if (level > 0) ::rmdir(workFolder.c_str());
}

// The first datum declared into a set decides its .prj (a new set has JGD2000's). A later file
// declaring another coordinate system into the set is named in a warning; its coordinates are
// written as they are.
void NoteDeclaredDatum(const std::string& outputFolder, int32_t n, const std::string& filePath,
                       tdatum declared) {
  tshpopentyp& entry = CatalogEntry(n);
  if (declared == tdatum::None) return;
  if (entry.Datum == tdatum::None) {
    entry.Datum = declared;
    if (DatumEpsg(declared) != DatumEpsg(tdatum::None)) WriteLayerProjection(outputFolder, n);
  } else if (DatumEpsg(declared) != DatumEpsg(entry.Datum)) {
    RunWarnings.push_back(filePath + ": declares the datum " + DatumName(declared) +
                          ", the layer " + entry.Name + " holds " + DatumName(entry.Datum) +
                          "; its coordinates are written unchanged");
  }
}

// The run's warnings, in one message, before its closing message.
void ShowRunWarnings(tfrontend& front) {
  std::string text;
  for (const std::string& warning : RunWarnings) text += (text.empty() ? "" : "\n") + warning;
  RunWarnings.clear();
  if (!text.empty()) front.ShowMessage(text);
}

// The run's lock on its output folder, held from construction to destruction. The lock file
// stays afterwards: removing it would let a run that opened the old file and one that creates a
// new file both take "the" lock. The kernel drops the lock with the process, so a killed run
// leaves nothing to clear.
class RunLock {
 public:
  explicit RunLock(const std::string& outputFolder) {
    const std::string path = outputFolder + kRunLockName;
    fd_ = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
      // A folder that takes no new file takes no shapefile either: the run's first write says
      // why, and there is nothing another run could overwrite.
      if (errno == EACCES || errno == EPERM || errno == EROFS) return;
      throw NabikError("Cannot create the lock file " + path + ": " + std::strerror(errno));
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return;
    const int reason = errno;
    ::close(std::exchange(fd_, -1));
    const std::string folder = outputFolder.empty() ? "./" : outputFolder;
    if (reason == EWOULDBLOCK)
      throw NabikError("Another run is writing into the output folder " + folder +
                       ": nothing was converted; start again when it has ended");
    throw NabikError("Cannot lock the output folder " + folder + ": " + std::strerror(reason));
  }
  ~RunLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;

 private:
  int fd_ = -1;
};

void RunSteps(tfrontend& front, bool& converted) {
  const std::string outputFolder = FolderPart(front.OutputPathText());
  if (!outputFolder.empty() && !DirectoryExists(outputFolder) && !ForceDirectories(outputFolder))
    throw NabikError("Cannot create the output folder " + outputFolder + ": " +
                     std::strerror(errno));
  const RunLock lock(outputFolder);  // before anything else is written there
  PrepareFeatureReader();
  for (tshpopentyp& entry : LayerCatalog) {
    entry.Created = false;
    entry.Datum = tdatum::None;
  }
  RunWarnings.clear();

  const int count = front.InputCount();  // taken once: lines added during the run wait
  tstagedarchive staged;
  for (int i = 0; i < count; ++i) {
    if (front.InputChecked(i)) {
      const std::string file = front.InputText(i);
      if (IsArchive(file)) {
        const tinputarchive input{staged, i, count};
        ConvertArchive(front, outputFolder, file, 0, &input);
      } else {
        front.SetStatus(file + ProcessingText());
        front.ProcessMessages();
        ConvertListedFile(front, outputFolder, file);
      }
      front.UncheckInput(i);
      converted = true;
    }
    if (staged.Index == i) DropStaged(staged);  // its turn passed: unchecked, or changed
    front.ProcessMessages();
  }
  DropStaged(staged);
  for (const tshpopentyp& entry : LayerCatalog) RunTally.SetsWritten += entry.Created;
  WriteConversionList(front);
  front.SetStatus(Sjis("MAPファイル作成中"));
  front.ProcessMessages();
  if (MapSettings.ExportForm == ExportFormMapServer8)
    ExportMapServer8(front.OutputPathText(), front.ShowMessage);
  else
    ExportMapServer(front.OutputPathText(), front.OwnerWindow, front.ShowMessage);
}

}  // namespace

truntally RunTally;

std::string ProcessingText() {
  return Sjis("処理中");
}

std::string NoOutputFileText() {
  return Sjis("出力ファイルを指定してください");
}

std::string UnmatchedCountText(int count) {
  return Sjis("一致するレイヤがないファイル: ") + std::to_string(count);
}

bool ConvertFile(const std::string& outputFolder, const std::string& filePath,
                 const std::function<void()>& processMessages) {
  bool matched = false;
  for (int32_t n = 1; n <= LayerCount(); ++n) {
    tshpopentyp& entry = CatalogEntry(n);
    if (entry.Name.empty() || filePath.find(entry.Name) == std::string::npos) continue;
    tdatum declared = tdatum::None;
    {
      LayerSetGuard guard;
      if (!entry.Created) {
        CreateLayerFiles(outputFolder, n);
        entry.Datum = tdatum::None;
      }
      OpenLayerFiles(outputFolder, entry.Name);
      declared = ReadFeatures(filePath, n);
      FinishLayerFiles();  // a write the disk refused ends the run here, not in a broken set
    }
    entry.Created = true;
    NoteDeclaredDatum(outputFolder, n, filePath, declared);
    matched = true;
    processMessages();
  }
  return matched;
}

tRunResult RunConversion(tfrontend& front) {
  if (front.OutputPathText().empty()) {
    front.ShowMessage(NoOutputFileText());
    return tRunResult::NotStarted;
  }
  front.SetExecuteEnabled(false);
  front.ProcessMessages();
  bool converted = false;
  RunTally = truntally();
  try {
    RunSteps(front, converted);
  } catch (const std::exception& e) {
    CloseLayerFiles();
    front.SetExecuteEnabled(true);
    front.SetStatus(std::string());
    ShowRunWarnings(front);
    front.ShowMessage(e.what());
    return tRunResult::Failed;
  }
  front.SetExecuteEnabled(true);
  front.SetStatus(Sjis("処理終了"));
  ShowRunWarnings(front);
  std::string closing = Sjis(converted ? "変換が終了しました" : "変換が中断しました");
  if (front.UnmatchedInClosingMessage && RunTally.FilesUnmatched > 0)
    closing += "\n" + UnmatchedCountText(RunTally.FilesUnmatched);
  front.ShowMessage(closing);
  return converted ? tRunResult::Finished : tRunResult::Interrupted;
}
