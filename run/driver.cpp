#include "run/driver.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "catalog/catalog.h"
#include "common/errors.h"
#include "common/paths.h"
#include "common/text.h"
#include "common/textfile.h"
#include "dem/demrun.h"
#include "fgd/reader.h"
#include "mapserver/ms8export.h"
#include "mapserver/webexport.h"
#include "run/staging.h"
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
  if (TakeDemFile(path)) return;  // an elevation model, known by its content
  if (ConvertFile(outputFolder, path, front.ProcessMessages)) {
    ++RunTally.FilesConverted;
  } else {
    ++RunTally.FilesUnmatched;
    Warn(front, path + ": no layer of the catalog matches this file");
  }
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
  tdemrun dem(outputFolder);
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
  dem.Finish(front.SetStatus, [](const std::string& text) { RunWarnings.push_back(text); });
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
