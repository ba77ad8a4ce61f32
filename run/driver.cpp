#include "run/driver.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "catalog/catalog.h"
#include "common/errors.h"
#include "common/paths.h"
#include "common/stop.h"
#include "common/text.h"
#include "common/textfile.h"
#include "crs/projectedlayer.h"
#include "crs/target.h"
#include "crs/transform.h"
#include "dem/demrun.h"
#include "fgd/reader.h"
#include "mapserver/ms8export.h"
#include "mapserver/webexport.h"
#include "ogr/ogroutput.h"
#include "run/frontier.h"
#include "run/progress.h"
#include "run/readahead.h"
#include "run/staging.h"
#include "run/unzip.h"
#include "run/workfolder.h"
#include "shpctl/shapelayer.h"
#include "shpctl/shpctl.h"
#include "susetu/susetu.h"
#include "unlha32/unlha32.h"

std::vector<std::string> RunWarnings;

int DefaultJobs() {
  cpu_set_t cores;
  CPU_ZERO(&cores);
  int count = 0;
  if (sched_getaffinity(0, sizeof cores, &cores) == 0) count = CPU_COUNT(&cores);
  if (count < 1) count = static_cast<int>(std::thread::hardware_concurrency());
  return std::clamp(count, 1, kMaxJobs);
}

int RunJobs = DefaultJobs();

namespace {

// The bytes of read blocks a run holds for their turn, per reader thread: beyond them a reader
// waits, so that a run over large files reads ahead a few blocks, not whole files.
constexpr size_t kHeldBytesPerJob = 24u << 20;

// The run's reader threads, while it reads ahead (RunJobs > 1).
treadahead* RunReadAhead = nullptr;

// The run's output through GDAL; null while the run writes the designed shapefiles.
togroutput* RunGdalOutput = nullptr;

// The run's one transformer into the target CRS, while it has one: its PROJ objects are built
// once for the run, not for every file.
std::optional<crs::tvertextransformer> RunTransformer;

// Hands the file's tasks, one for each layer that ConvertFile will read it into, to the reader
// threads.
void ReadAhead(const std::string& filePath) {
  if (!RunReadAhead) return;
  for (int32_t n = 1; n <= LayerCount(); ++n) {
    const std::string& name = CatalogEntry(n).Name;
    if (!name.empty() && filePath.find(name) != std::string::npos) RunReadAhead->Add(filePath, n);
  }
}

// Reads one file into `output`, through the target CRS when the run has one: what a reader
// thread read of it when one did (already in the target CRS), else the file itself.
tdatum ReadInto(const std::string& filePath, int32_t n, toutputlayer& output) {
  tdatum declared = tdatum::None;
  if (RunReadAhead && RunReadAhead->Replay(filePath, n, output, declared)) return declared;
  return crs::ReadFeaturesInTarget(filePath, n, output, RunTransformer);
}

// Reads one file into the run's GDAL output; a failure names the layers that are complete.
tdatum ReadIntoGdal(const std::string& filePath, int32_t n) {
  try {
    const tdatum declared = ReadInto(filePath, n, RunGdalOutput->Layer(n));
    RunGdalOutput->FileDone();
    return declared;
  } catch (const std::exception& e) {
    throw NabikError(RunGdalOutput->Failed(e.what()));
  }
}

// Closes the open layer set on every way out, so that what was written stays readable.
struct LayerSetGuard {
  ~LayerSetGuard() { CloseLayerFiles(); }
};

// The run list: every input line, checked or not, each with CR LF. A list that cannot be
// created is skipped; a write that fails part way is an error (it would leave a cut list).
void WriteConversionList(tfrontend& front, const std::string& outputPath) {
  std::vector<std::string> lines;
  const int count = front.InputCount();
  for (int i = 0; i < count; ++i) lines.push_back(front.InputText(i));
  WriteTextLines(outputPath, lines);
}

void Warn(tfrontend& front, const std::string& text) {
  if (front.Warn) front.Warn(text);
}

// One file of the input list or of a work folder, counted for the closing texts.
void ConvertListedFile(tfrontend& front, const std::string& outputFolder, const std::string& path) {
  if (TakeDemFile(path)) {  // an elevation model, known by its content
    CountFileDone(path);
    return;
  }
  if (ConvertFile(outputFolder, path, front.ProcessMessages)) {
    ++RunTally.FilesConverted;
  } else {
    ++RunTally.FilesUnmatched;
    Warn(front, path + ": no layer of the catalog matches this file");
  }
  CountFileDone(path);
}

// Where a run writes: the output folder and its work folder.
struct trunfolders {
  const std::string& Output;
  tworkfolder& Work;
};

// Archives extracted ahead beside the files before them: at the input level one on a single
// thread, one per reader thread on several; below it only on several.
int StagingDepth(int level) {
  return RunJobs > 1 ? RunJobs : (level == 0 ? 1 : 0);
}

// Line `Index` of a level, an archive.
struct tplace {
  tlevel& Level;
  int Index;
};

// Extracts `archive` into an extraction folder of its own and converts its files in the byte
// order of their stored names. An archive among them goes the same way one level down, into a
// folder of its own, converted before the next file of this level. Each file is deleted once
// converted, and the folder with whatever is left when the archive is done, whatever way: the
// run never reads a file it did not extract. The archive may have been staged by its level
// (`place`); once its files are known, the archives after it there are staged while they are
// converted, and so are the archives among its files.
void ConvertArchive(tfrontend& front, const trunfolders& folders, const std::string& archive,
                    int level, const tplace& place) {
  front.SetStatus(Sjis("解凍中"));
  front.ProcessMessages();
  if (level > 0) CountNestedArchive(archive);  // what it holds, now that it can be read
  textractfolder folder;
  std::vector<std::string> files;
  const bool staged = place.Level.Staging.Take(place.Index, archive, folder, files);
  if (!staged) {
    folder = textractfolder(folders.Work.NewFolder());
    files = ExtractZip(archive, folder.Path());
  }
  for (const std::string& path : files) front.SetStatus(path);
  place.Level.StageAfter(place.Index, folders.Work);
  const int handed = place.Level.Frontier.Current(place.Index, files.size(), staged);
  // Its files, their archives staged and read ahead; gone before the folder they lie in.
  tlevel inner({static_cast<int>(files.size()), [](int) { return true; },
                [&files](int k) { return files[k]; }},
               level < kMaxArchiveNesting ? StagingDepth(level + 1) : 0, ReadAhead);
  inner.Frontier.StartAt(RunReadAhead ? handed : 0);
  inner.StageAfter(-1, folders.Work);
  for (size_t k = 0; k < files.size(); ++k) {
    const std::string& path = files[k];
    if (RunReadAhead) inner.Frontier.Advance(static_cast<int>(k));
    CheckStop();
    front.SetStatus(path + ProcessingText());
    front.ProcessMessages();
    if (!IsArchive(path)) {
      ConvertListedFile(front, folders.Output, path);
    } else if (level < kMaxArchiveNesting) {
      ConvertArchive(front, folders, path, level + 1, tplace{inner, static_cast<int>(k)});
    } else {
      ++RunTally.FilesUnmatched;
      Warn(front, path + ": archive nested more than " + std::to_string(kMaxArchiveNesting) +
                      " levels deep, skipped");
    }
    inner.Staging.DropThrough(static_cast<int>(k));
    ::unlink(path.c_str());
  }
}

// The first datum declared into a set decides its .prj (a new set has JGD2000's). A later file
// declaring another coordinate system into the set is named in a warning; its coordinates are
// written as they are. In a target CRS every file's coordinates are transformed from the datum
// it declares: the .prj is the target's, and files of two datums mix rightly.
void NoteDeclaredDatum(const std::string& outputFolder, int32_t n, const std::string& filePath,
                       tdatum declared) {
  tshpopentyp& entry = CatalogEntry(n);
  if (declared == tdatum::None) return;
  if (entry.Datum == tdatum::None) {
    entry.Datum = declared;
    if (DatumEpsg(declared) != DatumEpsg(tdatum::None) && !RunGdalOutput && !crs::RunTargetCrs)
      WriteLayerProjection(outputFolder, n);
  } else if (DatumEpsg(declared) != DatumEpsg(entry.Datum) && !crs::RunTargetCrs) {
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
    const std::string folder = outputFolder.empty() ? "./" : outputFolder;
    // A folder that takes no new file is found here, before anything is extracted anywhere.
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
      throw NabikError("Cannot write into the output folder " + folder + ": " +
                       std::strerror(errno));
    fd_ = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
      if (errno == EACCES || errno == EPERM || errno == EROFS)
        throw NabikError("Cannot write into the output folder " + folder + ": " +
                         std::strerror(errno));
      throw NabikError("Cannot create the lock file " + path + ": " + std::strerror(errno));
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return;
    const int reason = errno;
    ::close(std::exchange(fd_, -1));
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

// The run's target CRS from its text (empty: as the data declares). Raises NabikError for a text
// PROJ does not take, as the batch mode refuses it before any run.
void SetRunTarget(const std::string& text) {
  crs::RunTargetCrs.reset();
  RunTransformer.reset();
  if (text.empty()) return;
  std::string error;
  crs::RunTargetCrs = crs::ttargetcrs::Parse(text, error);
  if (!crs::RunTargetCrs) throw NabikError(error);
  RunTransformer.emplace(*crs::RunTargetCrs);
}

void RunSteps(tfrontend& front, bool& converted) {
  CheckStop();
  // Read once: the list, the map file and the sets land in one folder whatever the field holds
  // later.
  const std::string outputPath = front.OutputPathText();
  const std::string outputFolder = FolderPart(outputPath);
  if (!outputFolder.empty() && !DirectoryExists(outputFolder) && !ForceDirectories(outputFolder))
    throw NabikError("Cannot create the output folder " + outputFolder + ": " +
                     std::strerror(errno));
  const RunLock lock(outputFolder);  // before anything else is written there
  tworkfolder work(outputFolder);
  work.RemoveLeftovers();  // of a run that was killed: never converted with this run's files
  SetRunTarget(MapSettings.TargetCrs);
  const struct tforgettarget {
    ~tforgettarget() {
      RunTransformer.reset();
      crs::RunTargetCrs.reset();
    }
  } forgetTarget;
  tdemrun dem(outputFolder, crs::RunTargetCrs ? &*crs::RunTargetCrs : nullptr);
  PrepareFeatureReader();
  for (tshpopentyp& entry : LayerCatalog) {
    entry.Created = false;
    entry.Datum = tdatum::None;
  }
  RunWarnings.clear();
  std::optional<togroutput> gdal;
  if (!IsShapefileFormat(MapSettings.DataFormat))
    gdal.emplace(MapSettings.DataFormat, front.OutputPathText(), MapSettings.DataSet,
                 crs::RunTargetCrs ? &*crs::RunTargetCrs : nullptr);
  RunGdalOutput = gdal ? &*gdal : nullptr;
  const struct tforget {
    ~tforget() { RunGdalOutput = nullptr; }
  } forget;

  // Every reader is joined before the output and the target CRS go, whatever way the run ends.
  std::optional<treadahead> readAhead;
  if (RunJobs > 1)
    readAhead.emplace(RunJobs, gdal ? ttextform::Utf8 : ttextform::Cp932,
                      kHeldBytesPerJob * static_cast<size_t>(RunJobs));
  RunReadAhead = readAhead ? &*readAhead : nullptr;
  const struct tforgetreaders {
    ~tforgetreaders() { RunReadAhead = nullptr; }
  } forgetReaders;

  const int count = front.InputCount();  // taken once: lines added during the run wait
  tlevel inputs({count, front.InputChecked, front.InputText}, StagingDepth(0), ReadAhead);
  const trunfolders folders{outputFolder, work};
  for (int i = 0; i < count; ++i) {
    if (RunReadAhead) inputs.Frontier.Advance(i);
    CheckStop();
    if (front.InputChecked(i)) {
      const std::string file = front.InputText(i);
      if (IsArchive(file)) {
        ConvertArchive(front, folders, file, 0, tplace{inputs, i});
      } else {
        front.SetStatus(file + ProcessingText());
        front.ProcessMessages();
        ConvertListedFile(front, outputFolder, file);
      }
      front.UncheckInput(i);
      converted = true;
    }
    inputs.Staging.DropThrough(i);  // its turn passed: unchecked, or changed
    front.ProcessMessages();
  }
  inputs.Staging.DropAll();
  CheckStop();
  if (gdal) try {
      gdal->Close();
    } catch (const std::exception& e) {
      throw NabikError(gdal->Failed(e.what()));
    }
  // Each raster is a safe point: a stop asked for while the mosaics are written ends the run
  // before the next one, as between input files.
  dem.Finish(
      [&](const std::string& text) {
        CheckStop();
        front.SetStatus(text);
      },
      [](const std::string& text) { RunWarnings.push_back(text); });
  CheckStop();
  for (const tshpopentyp& entry : LayerCatalog) RunTally.SetsWritten += entry.Created;
  WriteConversionList(front, outputPath);
  front.SetStatus(Sjis("MAPファイル作成中"));
  front.ProcessMessages();
  if (MapSettings.ExportForm == ExportFormMapServer8)
    ExportMapServer8(outputPath, front.ShowMessage);
  else
    ExportMapServer(outputPath, front.OwnerWindow, front.ShowMessage);
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
    if (RunGdalOutput) {
      declared = ReadIntoGdal(filePath, n);
    } else {
      LayerSetGuard guard;
      if (!entry.Created) {
        CreateLayerFiles(outputFolder, n);
        entry.Datum = tdatum::None;
      }
      OpenLayerFiles(outputFolder, entry.Name);
      // A new set gets the target's .prj at once.
      if (RunTransformer && !entry.Created)
        WriteLayerProjection(outputFolder, n, crs::RunTargetCrs->EsriWkt());
      tshapelayer shapes(n);
      declared = ReadInto(filePath, n, shapes);
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
  const tstophandlers stopHandlers;
  tprogresscount progress(front);  // the checked lines' sizes, before anything is extracted
  try {
    tfrontend counted = progress.Counting(front);
    RunSteps(counted, converted);
  } catch (const RunStopped& e) {
    // What was extracted and staged is gone, every set closed whole; the front end tells.
    CloseLayerFiles();
    RunTally.StopSignal = e.Signal;
    front.SetExecuteEnabled(true);
    front.SetStatus(std::string());
    RunWarnings.clear();
    return tRunResult::Stopped;
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
