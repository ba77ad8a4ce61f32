// A whole run over the input as the batch mode makes it: two input archives (the second is
// staged while the first converts), each of two files, read ahead on two reader threads, and
// written as shapefile sets or, chosen by the input, a GeoPackage through GDAL's thread. The
// input is an FGD XML file, repeated so that large files reach the set writer's thread, or a
// zip archive used as both inputs. Promises: the run finishes or fails with a message, never
// stops or starts nothing, and gives the layer sets, the result and the messages of a run on
// the run's own thread (--jobs 1) byte for byte; every set it writes opens whole.
#include <shapefil.h>
#include <zip.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "catalog/catalog.h"
#include "fuzz_support.h"
#include "run/driver.h"
#include "susetu/susetu.h"
#include "unlha32/unlha32.h"

using namespace fuzz_support;
namespace fs = std::filesystem;

namespace {

// The first byte of the input.
constexpr uint8_t kGeoPackage = 1;  // the layers into one GeoPackage instead of shapefiles
constexpr uint8_t kPlainFile = 2;   // the XML file also as an input line before the archives
constexpr uint8_t kStored = 4;      // archive entries stored instead of deflated
// The second byte: from kLarge up, the XML file is the rest of the input repeated up to this
// size (a set writer hands a file's blocks to its thread only once the file fills one); below,
// it is the rest of the input one to four times, so that most inputs run fast.
constexpr uint8_t kLarge = 0xF0;
constexpr size_t kMaxRepeated = 1 << 20;

void Prepare() {
  static bool prepared = false;
  if (prepared) return;
  Require(LoadLayerCatalogFrom(NABIK_CATALOG_FILE), "the shipped catalog does not load");
  SettingsFilePath = ScratchFolder() + "no-settings.Ini";  // never written: the defaults
  SettingsSeedPath.clear();
  StartUnlha();
  prepared = true;
}

// The layer the file's name matches: the first catalog entry whose feature element the input
// names, else the first entry.
std::string LayerName(std::string_view text) {
  for (int32_t n = 1; n <= LayerCount(); ++n) {
    const std::string& name = CatalogEntry(n).Name;
    if (!name.empty() && text.find("<" + name + " ") != std::string_view::npos) return name;
  }
  return CatalogEntry(1).Name;
}

void MakeZip(const std::string& path, const std::vector<std::string>& names,
             const std::string& content, bool stored) {
  int error = 0;
  zip_t* zip = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
  Require(zip != nullptr, "cannot create " + path);
  for (const std::string& name : names) {
    zip_source_t* source = zip_source_buffer(zip, content.data(), content.size(), 0);
    const zip_int64_t index = zip_file_add(zip, name.c_str(), source, ZIP_FL_ENC_RAW);
    Require(index >= 0, "cannot add " + name + " to " + path);
    if (stored) zip_set_file_compression(zip, index, ZIP_CM_STORE, 0);
  }
  Require(zip_close(zip) == 0, "cannot write " + path);
}

struct tfront {
  std::vector<std::string> inputs, messages;
  std::vector<bool> checked;
  std::string output;

  tfrontend Front() {
    tfrontend f;
    f.InputCount = [this] { return static_cast<int>(inputs.size()); };
    f.InputText = [this](int i) { return inputs[i]; };
    f.InputChecked = [this](int i) { return static_cast<bool>(checked[i]); };
    f.UncheckInput = [this](int i) { checked[i] = false; };
    f.OutputPathText = [this] { return output; };
    f.SetStatus = [](const std::string&) {};
    f.ShowMessage = [this](const std::string& text) { messages.push_back(text); };
    f.ProcessMessages = [] {};
    f.SetExecuteEnabled = [](bool) {};
    f.Warn = [this](const std::string& text) { messages.push_back(text); };
    return f;
  }
};

struct truns {
  tRunResult result;
  std::vector<std::string> messages;        // with the output folder as OUT/
  std::map<std::string, std::string> sets;  // layer set files by name
};

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

std::string FileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void CheckSet(const std::string& base) {
  SHPHandle shp = SHPOpen(base.c_str(), "rb");
  DBFHandle dbf = DBFOpen(base.c_str(), "rb");
  Require(shp != nullptr && dbf != nullptr, "a layer set of the run does not open: " + base);
  int shapes = -1;
  SHPGetInfo(shp, &shapes, nullptr, nullptr, nullptr);
  Require(shapes == DBFGetRecordCount(dbf), "shape and record counts differ in " + base);
  for (int i = 0; i < shapes; ++i) {
    SHPObject* shape = SHPReadObject(shp, i);
    Require(shape != nullptr, "a written shape does not read back in " + base);
    SHPDestroyObject(shape);
  }
  SHPClose(shp);
  DBFClose(dbf);
}

truns Run(const std::vector<std::string>& inputs, const std::string& folder, int jobs) {
  EmptyFolder(folder);
  RunJobs = jobs;
  tfront front;
  front.inputs = inputs;
  front.checked.assign(inputs.size(), true);
  front.output = folder + "list.txt";
  tfrontend f = front.Front();
  truns run{RunConversion(f), {}, {}};
  for (const std::string& message : front.messages)
    run.messages.push_back(Replaced(message, folder, "OUT/"));
  for (const std::string& name : ListTree(folder)) {
    const std::string ext = fs::path(name).extension().string();
    if (ext != ".shp" && ext != ".shx" && ext != ".dbf" && ext != ".prj" && ext != ".cpg") continue;
    run.sets[name] = FileBytes(folder + name);
    if (ext == ".shp") CheckSet(folder + name.substr(0, name.size() - 4));
  }
  return run;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  Prepare();
  const uint8_t options = data[0];
  const std::string_view payload(reinterpret_cast<const char*>(data) + 2, size - 2);
  const std::string in = ScratchFolder() + "in/";
  EmptyFolder(in);

  const std::vector<std::string> archives = {in + "FG-GML-000000-ALL-20000101.zip",
                                             in + "FG-GML-000001-ALL-20000101.zip"};
  std::vector<std::string> inputs;
  if (payload.starts_with("PK")) {
    for (const std::string& archive : archives) WriteBytes(archive, data + 2, size - 2);
  } else {
    const std::string layer = LayerName(payload);
    const size_t times =
        data[1] >= kLarge ? std::max<size_t>(kMaxRepeated / std::max<size_t>(payload.size(), 1), 1)
                          : 1 + data[1] % 4;
    std::string xml;
    xml.reserve(payload.size() * times);
    for (size_t i = 0; i < times; ++i) xml.append(payload);
    const std::string file = "FG-GML-000000-" + layer + "-20000101-000";
    // Stored in a folder, as the real archives hold them; the second name is read ahead while
    // the first is written.
    for (const std::string& archive : archives)
      MakeZip(archive, {"FG-GML-000000-ALL/" + file + "1.xml", file + "2.xml"}, xml,
              options & kStored);
    if (options & kPlainFile) {
      inputs.push_back(in + file + "3.xml");
      WriteBytes(inputs.back(), reinterpret_cast<const uint8_t*>(xml.data()), xml.size());
    }
  }
  inputs.insert(inputs.end(), archives.begin(), archives.end());

  // Every run from the same settings: a run changes none of them, a front end may.
  LoadMapSettings();
  MapSettings.ExportForm = ExportFormMapServer8;
  MapSettings.DataFormat = (options & kGeoPackage) ? "GPKG" : "";
  const truns many = Run(inputs, ScratchFolder() + "j2/", 2);
  Require(many.result == tRunResult::Finished || many.result == tRunResult::Failed,
          "the run neither finished nor failed with a message");
  Require(!many.messages.empty(), "the run showed no message");
  const truns one = Run(inputs, ScratchFolder() + "j1/", 1);
  Require(many.result == one.result, "--jobs 2 and --jobs 1 end differently");
  Require(many.messages == one.messages, "--jobs 2 and --jobs 1 show different messages");
  Require(many.sets == one.sets, "--jobs 2 and --jobs 1 write different layer sets");
  std::error_code ignored;
  for (const char* folder : {"j2/", "j1/", "in/"})
    fs::remove_all(ScratchFolder() + folder, ignored);
  return 0;
}
