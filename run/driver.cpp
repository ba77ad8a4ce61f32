#include "run/driver.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
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

void ConvertArchive(tfrontend& front, const std::string& outputFolder, const std::string& archive) {
  const std::string workFolder = outputFolder + "tmp";
  front.SetStatus(Sjis("解凍中"));
  front.ProcessMessages();
  if (!DirectoryExists(workFolder) && !ForceDirectories(workFolder))
    throw NabikError("Cannot create the folder " + workFolder + ": " + std::strerror(errno));
  ExtractZipFlat(archive, workFolder);
  std::vector<std::string> extracted;
  for (const std::string& name : ListFolder(workFolder)) {
    extracted.push_back(outputFolder + "tmp/" + name);
    front.SetStatus(extracted.back());
  }
  for (const std::string& path : extracted) {
    front.SetStatus(path + ProcessingText());
    front.ProcessMessages();
    // Folders and other non-files in the work folder are listed but not read.
    if (!IsRegularFile(path)) continue;
    ConvertFile(outputFolder, path, front.ProcessMessages);
    ::unlink(path.c_str());
  }
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

void RunSteps(tfrontend& front, bool& converted) {
  const std::string outputFolder = FolderPart(front.OutputPathText());
  if (!outputFolder.empty() && !DirectoryExists(outputFolder) && !ForceDirectories(outputFolder))
    throw NabikError("Cannot create the output folder " + outputFolder + ": " +
                     std::strerror(errno));
  PrepareFeatureReader();
  for (tshpopentyp& entry : LayerCatalog) {
    entry.Created = false;
    entry.Datum = tdatum::None;
  }
  RunWarnings.clear();

  const int count = front.InputCount();  // taken once: lines added during the run wait
  for (int i = 0; i < count; ++i) {
    if (front.InputChecked(i)) {
      const std::string file = front.InputText(i);
      if (Upper(FileExtPart(file)) == ".ZIP") {
        ConvertArchive(front, outputFolder, file);
      } else {
        front.SetStatus(file + ProcessingText());
        front.ProcessMessages();
        ConvertFile(outputFolder, file, front.ProcessMessages);
      }
      front.UncheckInput(i);
      converted = true;
    }
    front.ProcessMessages();
  }
  WriteConversionList(front);
  front.SetStatus(Sjis("MAPファイル作成中"));
  front.ProcessMessages();
  if (MapSettings.ExportForm == ExportFormMapServer8)
    ExportMapServer8(front.OutputPathText(), front.ShowMessage);
  else
    ExportMapServer(front.OutputPathText(), front.OwnerWindow, front.ShowMessage);
}

}  // namespace

std::string ProcessingText() {
  return Sjis("処理中");
}

std::string NoOutputFileText() {
  return Sjis("出力ファイルを指定してください");
}

void ConvertFile(const std::string& outputFolder, const std::string& filePath,
                 const std::function<void()>& processMessages) {
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
    processMessages();
  }
}

tRunResult RunConversion(tfrontend& front) {
  if (front.OutputPathText().empty()) {
    front.ShowMessage(NoOutputFileText());
    return tRunResult::NotStarted;
  }
  front.SetExecuteEnabled(false);
  front.ProcessMessages();
  bool converted = false;
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
  front.ShowMessage(Sjis(converted ? "変換が終了しました" : "変換が中断しました"));
  return converted ? tRunResult::Finished : tRunResult::Interrupted;
}
