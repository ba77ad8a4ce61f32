#include "run/batch.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "catalog/catalog.h"
#include "common/errors.h"
#include "common/paths.h"
#include "common/stop.h"
#include "common/text.h"
#include "crs/inputs.h"
#include "dem/demrun.h"
#include "run/driver.h"
#include "susetu/susetu.h"
#include "unlha32/unlha32.h"

namespace {

struct tbatchargs {
  std::string catalog, settings, output;
  bool outputGiven = false, quiet = false, help = false, version = false;
  int exportForm = -1;  // --mapserver; -1 leaves it to the settings
  int jobs = 0;         // --jobs; 0: the cores the process may use
  tdemoptions dem;
  std::string format, dataset, crs;
  bool formatGiven = false, crsGiven = false;
  std::vector<std::string> inputs;
};

// Parses the arguments; returns an error text for a usage error, empty when they are sound.
std::string ParseArgs(int argc, char** argv, tbatchargs& args) {
  bool optionsEnd = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= argc) return false;
      into = argv[++i];
      return true;
    };
    if (optionsEnd || arg.empty() || arg[0] != '-' || arg == "-") {
      args.inputs.push_back(arg);
    } else if (arg == "--") {
      optionsEnd = true;
    } else if (arg == "--help" || arg == "-h") {
      args.help = true;
    } else if (arg == "--version") {
      args.version = true;
    } else if (arg == "--quiet" || arg == "-q") {
      args.quiet = true;
    } else if (arg == "--catalog") {
      if (!value(args.catalog)) return "--catalog needs a file";
    } else if (arg == "--settings") {
      if (!value(args.settings)) return "--settings needs a file";
    } else if (arg == "--mapserver") {
      std::string form;
      if (!value(form)) return "--mapserver needs 8 or ms4w";
      if (form == "8")
        args.exportForm = ExportFormMapServer8;
      else if (form == "ms4w" || form == "MS4W")
        args.exportForm = ExportFormMs4w;
      else
        return "--mapserver needs 8 or ms4w, not " + form;
    } else if (arg == "--sea") {
      std::string level;
      if (!value(level) || level != "0") return "--sea needs 0";
      args.dem.seaZero = true;
    } else if (arg == "--dem-format") {
      std::string form;
      if (!value(form)) return "--dem-format needs GTiff or COG";
      if (form == "GTiff" || form == "gtiff" || form == "GTIFF")
        args.dem.format = tdemformat::GTiff;
      else if (form == "COG" || form == "cog")
        args.dem.format = tdemformat::Cog;
      else
        return "--dem-format needs GTiff or COG, not " + form;
    } else if (arg == "--format") {
      if (!value(args.format)) return "--format needs a format name (shp, GPKG, FlatGeobuf, ...)";
      args.formatGiven = true;
    } else if (arg == "--crs") {
      if (!value(args.crs))
        return "--crs needs a coordinate system (EPSG:6677, a WKT or PROJ string)";
      args.crsGiven = true;
    } else if (arg == "--dataset") {
      if (!value(args.dataset)) return "--dataset needs a dataset name (PG:dbname=...)";
    } else if (arg == "--jobs") {
      std::string count;
      if (!value(count)) return "--jobs needs a number of threads";
      const char* end = count.data() + count.size();
      const auto [at, error] = std::from_chars(count.data(), end, args.jobs);
      if (error != std::errc() || at != end || args.jobs < 1 || args.jobs > kMaxJobs)
        return "--jobs needs a number of threads from 1 to " + std::to_string(kMaxJobs) + ", not " +
               count;
    } else if (arg == "-o" || arg == "--output") {
      if (!value(args.output)) return arg + " needs the output file";
      args.outputGiven = true;
    } else {
      return "unknown option " + arg;
    }
  }
  if (args.help || args.version) return {};
  if (!args.outputGiven) return "the output file is missing (-o OUTPUT)";
  if (args.output.empty()) return DisplayUtf8(NoOutputFileText());
  if (args.inputs.empty()) return "no input file given";
  return {};
}

void PrintLine(const std::string& bytes) {
  std::fprintf(stderr, "%s\n", DisplayUtf8(bytes).c_str());
}

// The progress line of a terminal: one line redrawn in place, at most every kRedraw, by the run's
// thread when a figure or the status changes and by a ticker for what that left undrawn (a file
// that takes long is named while it converts). Lines printed meanwhile clear it first; the ticker
// draws it again after them.
class tprogressline {
 public:
  tprogressline() : ticker_([this] { Tick(); }) {}
  ~tprogressline() { End(); }

  void Progress(const tprogress& p) {
    const std::lock_guard lock(mutex_);
    figures_ = p;
    DrawIfDue();
  }
  void Status(const std::string& text) {
    const std::lock_guard lock(mutex_);
    status_ = DisplayUtf8(text);
    DrawIfDue();
  }
  void Print(const std::string& bytes) {
    const std::lock_guard lock(mutex_);
    Clear();
    PrintLine(bytes);
    pending_ = running_;
  }
  // The line is cleared for good, so that what follows prints cleanly.
  void End() {
    {
      const std::lock_guard lock(mutex_);
      running_ = pending_ = false;
      Clear();
    }
    wake_.notify_all();
    if (ticker_.joinable()) ticker_.join();
  }

 private:
  static constexpr std::chrono::milliseconds kRedraw{100};

  void DrawIfDue() {
    if (!running_) return;
    pending_ = true;
    if (std::chrono::steady_clock::now() - drawn_ >= kRedraw) Draw();
  }
  void Draw() {
    winsize size{};
    const int width =
        ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
    std::string line = ProgressLine(figures_);
    if (!status_.empty()) line += "  " + status_;
    // One column short of the width: a full line would wrap on some terminals.
    std::fprintf(stderr, "\r%s\x1b[K", FitColumns(line, width - 1).c_str());
    shown_ = true;
    pending_ = false;
    drawn_ = std::chrono::steady_clock::now();
  }
  void Clear() {
    if (shown_) std::fputs("\r\x1b[K", stderr);
    shown_ = false;
  }
  void Tick() {
    std::unique_lock lock(mutex_);
    while (running_) {
      wake_.wait_for(lock, kRedraw);
      if (running_ && pending_ && std::chrono::steady_clock::now() - drawn_ >= kRedraw) Draw();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  tprogress figures_;
  std::string status_;
  bool running_ = true, pending_ = false, shown_ = false;
  std::chrono::steady_clock::time_point drawn_{};
  std::thread ticker_;  // last: it starts once the rest is set
};

// The batch front end: every input checked. Status texts go to standard error: on a terminal
// into the progress line, elsewhere each on a line of its own.
struct tbatchfront {
  const tbatchargs& args;
  std::vector<bool> checked;
  std::optional<tprogressline> line;

  explicit tbatchfront(const tbatchargs& a) : args(a), checked(a.inputs.size(), true) {
    if (!args.quiet && isatty(STDERR_FILENO) == 1) line.emplace();
  }

  // The run has ended: the closing summary starts on a clean line.
  void End() {
    if (line) line->End();
  }

  void Status(const std::string& text) {
    if (args.quiet || text.empty()) return;
    if (line) return line->Status(text);
    PrintLine(text);
  }
  void Print(const std::string& text) {
    if (line) return line->Print(text);
    PrintLine(text);
  }

  tfrontend Front() {
    tfrontend f;
    f.InputCount = [this] { return static_cast<int>(args.inputs.size()); };
    f.InputText = [this](int i) { return args.inputs[i]; };
    f.InputChecked = [this](int i) { return static_cast<bool>(checked[i]); };
    f.UncheckInput = [this](int i) { checked[i] = false; };
    f.OutputPathText = [this] { return args.output; };
    f.SetStatus = [this](const std::string& text) { Status(text); };
    f.ShowMessage = [this](const std::string& text) { Print(text); };
    f.ProcessMessages = [] {};
    f.SetExecuteEnabled = [](bool) {};
    f.Warn = [this](const std::string& text) { Print(text); };  // also under --quiet
    if (line) f.Progress = [this](const tprogress& p) { line->Progress(p); };
    return f;
  }
};

// An input that is missing or is no regular file: a usage error, found before anything is
// written (in the window such a line would simply match nothing or fail when opened).
std::string CheckInputs(const std::vector<std::string>& inputs) {
  for (const std::string& input : inputs) {
    struct stat info;
    if (stat(input.c_str(), &info) != 0)
      return "cannot read the input " + DisplayUtf8(input) + ": " + std::strerror(errno);
    if (!S_ISREG(info.st_mode)) return "the input " + DisplayUtf8(input) + " is not a regular file";
  }
  return {};
}

// An existing file the run list would replace that is no list: an archive or an XML file, by its
// name or its first bytes.
bool LooksLikeInput(const std::string& path) {
  std::string ext = FileExtPart(path);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext == ".zip" || ext == ".xml" || ext == ".lzh") return true;
  char head[8] = {};
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t n = ::read(fd, head, sizeof head);
  ::close(fd);
  const std::string_view bytes(head, n > 0 ? static_cast<size_t>(n) : 0);
  return bytes.starts_with("PK\x03\x04") || bytes.starts_with("<?xml") ||
         bytes.starts_with("\xEF\xBB\xBF<?xml");
}

// An output path whose run list would destroy something: a folder, one of the inputs, an
// archive or XML file. A usage error, found before anything is written.
std::string CheckOutput(const std::string& output, const std::vector<std::string>& inputs) {
  struct stat out;
  if (stat(output.c_str(), &out) != 0) return {};
  const std::string shown = DisplayUtf8(output);
  if (S_ISDIR(out.st_mode)) {
    const std::string folder = shown.ends_with("/") ? shown : shown + "/";
    return "the output " + shown + " is a folder; name the list file in it: -o " + folder +
           "list.txt";
  }
  for (const std::string& input : inputs) {
    struct stat in;
    if (stat(input.c_str(), &in) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino)
      return "the output " + shown + " is the input " + DisplayUtf8(input) +
             "; the list of inputs would replace it";
  }
  if (LooksLikeInput(output))
    return "the output " + shown +
           " is an archive or XML file; the list of inputs would replace it";
  return {};
}

// Standard input, output and error closed by the caller: the next files the run opens would get
// their numbers, and a status line would be written into a shapefile. They are opened on
// /dev/null instead.
void OpenClosedStandardFiles() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0 && null != fd) {
      ::dup2(null, fd);
      ::close(null);
    }
  }
}

}  // namespace

const char* BatchUsage() {
  return "usage: nabik [--catalog FILE] [--settings FILE] [--mapserver 8|ms4w] [--quiet]\n"
         "             [--format NAME [--dataset NAME]] [--crs CRS] [--sea 0]\n"
         "             [--dem-format GTiff|COG] [--jobs N]\n"
         "             -o OUTPUT INPUT...\n"
         "       nabik --help | --version\n"
         "       nabik --render IMAGE.png [--size WIDTHxHEIGHT] FOLDER   (draws FOLDER's sets)\n"
         "Converts FGD XML files and zip archives of them into shapefiles (one set per layer of\n"
         "the catalog; or another format, see --format) in the folder of OUTPUT, writes the list\n"
         "of inputs to OUTPUT, and exports a MapServer web installation there. Without\n"
         "arguments nabik opens its window.\n"
         "  --catalog FILE   layer catalog to use instead of nabik.csv beside the program\n"
         "  --settings FILE  settings file to read instead of nabik.Ini (beside the program, or\n"
         "                   in ~/.config/nabik/ where the program's folder is not writable)\n"
         "  --mapserver 8    export for MapServer 8 (mapserv CGI, PHP MapScript 8, lighttpd)\n"
         "  --mapserver ms4w export the MS4W tree for Windows; without the option the\n"
         "                   settings file decides (MS4W unless it says otherwise)\n"
         "  --format NAME    write the layers in GDAL's vector format NAME instead of\n"
         "                   shapefiles: GPKG and SQLite as one file named after OUTPUT\n"
         "                   (list.txt -> list.gpkg), FlatGeobuf, GeoJSON, GeoJSONSeq, CSV, ...\n"
         "                   as one file per layer (BldA.fgb), PostgreSQL as tables of the\n"
         "                   database --dataset names; shp (the default) gives the shapefiles;\n"
         "                   without the option the settings file decides\n"
         "  --crs CRS        write every output in the coordinate system CRS instead of the\n"
         "                   latitude and longitude the data declare: EPSG:6677 (zone IX of\n"
         "                   the plane-rectangular systems; 6669 to 6687 are zones I to XIX),\n"
         "                   any EPSG code, WKT or PROJ string; without the option the\n"
         "                   settings file decides\n"
         "  --dataset NAME   the database of --format PostgreSQL (\"PG:dbname=gis host=...\");\n"
         "                   its tables of the run's layers are replaced\n"
         "  --quiet          no status lines, no summary (warnings and errors stay)\n"
         "  --jobs N         read the files on N threads at once (default: the cores nabik may\n"
         "                   use); the output is byte for byte that of --jobs 1, which reads\n"
         "                   each file in turn on the run's own thread\n"
         "Status texts go to standard error, one per line; on a terminal they share one line\n"
         "redrawn in place, led by the inputs done of all, the megabytes of XML done of what\n"
         "the inputs hold, the rate and the time left:\n"
         "  12/160 files  310/2500 MB  240 MB/s  0:09 left\n"
         "OUTPUT must not be a folder, one of the inputs, or an archive or XML file.\n"
         "Archives are extracted into folders of their own below tmp/ in the folder of OUTPUT,\n"
         "their files converted in the byte order of their names, then removed; nothing else\n"
         "in tmp/ is read or removed. SIGINT or SIGTERM stops the run between blocks of work:\n"
         "the layer sets stay whole, what was extracted is removed, no list is written.\n"
         "Elevation models (DEM files, known by their content) become one GeoTIFF per first-level\n"
         "mesh and grid spacing (dem5m-5339.tif) and one virtual mosaic per spacing (dem5m.vrt)\n"
         "in the folder of OUTPUT; where files overlap, 5A before 5B before 5C, 10A before 10B,\n"
         "the newer before the older.\n"
         "  --sea 0          sea-surface cells without a value become 0 m (else no-data, -9999)\n"
         "  --dem-format COG write the GeoTIFFs as Cloud Optimized GeoTIFFs (default GTiff)\n"
         "Exit status: 0 run finished, 1 run ended on an error or found its output folder in\n"
         "use by another run, 2 usage error (also an input that is no file, or an OUTPUT\n"
         "refused as above) or catalog error, 130 run stopped by SIGINT or SIGTERM.\n";
}

// A target CRS PROJ does not know or that cannot hold the inputs: a usage error, found before
// anything is written. What the user should know of a sound one is printed.
std::string CheckTarget(const std::string& text, const std::vector<std::string>& inputs) {
  if (text.empty()) return {};
  std::string error;
  const auto target = crs::ttargetcrs::Parse(text, error);
  if (!target) return error;
  std::string notes;
  error = crs::CheckTargetForInputs(*target, inputs, notes);
  if (error.empty() && !notes.empty()) std::fprintf(stderr, "nabik: note: %s\n", notes.c_str());
  return error;
}

bool LoadBatchCatalog(const std::string& catalog) {
  try {
    if (LoadLayerCatalogFrom(catalog)) return true;
    std::fprintf(stderr, "nabik: cannot open the layer catalog %s\n", catalog.c_str());
  } catch (const NabikError& e) {
    std::fprintf(stderr, "nabik: %s: %s\n", catalog.c_str(), DisplayUtf8(e.what()).c_str());
  }
  return false;
}

int RunBatch(int argc, char** argv) {
  OpenClosedStandardFiles();
  // A reader of standard error that went away (`nabik ... 2>&1 | head`) does not end the run:
  // its lines are lost, its sets are not.
  std::signal(SIGPIPE, SIG_IGN);
  // From the start: a stop asked for while the catalog loads ends the run at its first step.
  const tstophandlers stopHandlers;
  tbatchargs args;
  if (const std::string error = ParseArgs(argc, argv, args); !error.empty()) {
    std::fprintf(stderr, "nabik: %s\n%s", error.c_str(), BatchUsage());
    return 2;
  }
  if (args.help) {
    std::fputs(BatchUsage(), stdout);
    return 0;
  }
  if (args.version) {
    std::printf("nabik %s\n", NABIK_VERSION);
    return 0;
  }
  if (const std::string error = CheckInputs(args.inputs); !error.empty()) {
    std::fprintf(stderr, "nabik: %s\n", error.c_str());
    return 2;
  }
  if (const std::string error = CheckOutput(args.output, args.inputs); !error.empty()) {
    std::fprintf(stderr, "nabik: %s\n", error.c_str());
    return 2;
  }
  const std::string catalog = args.catalog.empty() ? CatalogPath() : args.catalog;
  if (!LoadBatchCatalog(catalog)) return 2;
  if (!args.settings.empty()) {
    SettingsFilePath = args.settings;
    SettingsSeedPath.clear();
  }
  LoadMapSettings();
  if (args.crsGiven) MapSettings.TargetCrs = args.crs;
  if (const std::string error = CheckTarget(MapSettings.TargetCrs, args.inputs); !error.empty()) {
    std::fprintf(stderr, "nabik: %s\n", error.c_str());
    return 2;
  }
  if (args.exportForm >= 0) MapSettings.ExportForm = args.exportForm;
  if (args.jobs > 0) RunJobs = args.jobs;
  DemOptions = args.dem;
  if (args.formatGiven) MapSettings.DataFormat = args.format;
  MapSettings.DataSet = args.dataset;

  StartUnlha();
  tbatchfront batch(args);
  tfrontend front = batch.Front();
  const tRunResult result = RunConversion(front);
  batch.End();
  StopUnlha();
  if (!args.quiet && (result == tRunResult::Finished || result == tRunResult::Interrupted))
    std::fprintf(stderr, "files converted: %d, sets written: %d, files matching no layer: %d\n",
                 RunTally.FilesConverted, RunTally.SetsWritten, RunTally.FilesUnmatched);
  if (!args.quiet && DemTally.Files > 0 &&
      (result == tRunResult::Finished || result == tRunResult::Interrupted))
    std::fprintf(stderr, "DEM files read: %d, elevation rasters and mosaics written: %d\n",
                 DemTally.Files, DemTally.Written);
  switch (result) {
    case tRunResult::Finished:
    case tRunResult::Interrupted:
      return 0;
    case tRunResult::Failed:
      return 1;
    case tRunResult::NotStarted:
      return 2;
    case tRunResult::Stopped:
      std::fprintf(stderr,
                   "nabik: the run was interrupted by %s; the layer sets hold the files converted "
                   "before it, no list or map file was written, and what it extracted is removed\n",
                   SignalName(RunTally.StopSignal).c_str());
      return 130;
  }
  return 1;
}
