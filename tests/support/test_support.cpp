#include "support/test_support.h"

#include <shapefil.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "catalog/catalog.h"
#include "common/text.h"
#include "shpctl/shpctl.h"

namespace testing_support {

ScratchDir::ScratchDir() {
  std::random_device rd;
  for (;;) {
    path_ = std::filesystem::temp_directory_path() /
            ("nabik-test-" + std::to_string(getpid()) + "-" + std::to_string(rd()));
    if (std::filesystem::create_directory(path_)) break;
  }
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  // Restore permissions a test may have taken away so that the folder can go.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const std::filesystem::path& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string Sample(std::string_view relative) {
  return std::string(NABIK_SAMPLES_DIR) + "/" + std::string(relative);
}

std::string RunCommand(const std::string& command, int* status) {
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) throw std::runtime_error("cannot run " + command);
  std::string output;
  std::array<char, 4096> buffer;
  size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) output.append(buffer.data(), n);
  const int rc = pclose(pipe);
  if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return output;
}

SetCounts CountSet(const std::string& base) {
  SetCounts c;
  if (SHPHandle shp = SHPOpen(base.c_str(), "rb")) {
    SHPGetInfo(shp, &c.shapes, nullptr, nullptr, nullptr);
    SHPClose(shp);
  }
  if (DBFHandle dbf = DBFOpen(base.c_str(), "rb")) {
    c.records = DBFGetRecordCount(dbf);
    DBFClose(dbf);
  }
  return c;
}

FileSizeLimit::FileSizeLimit(rlim_t bytes) {
  getrlimit(RLIMIT_FSIZE, &saved_);
  oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limit = saved_;
  limit.rlim_cur = bytes;
  setrlimit(RLIMIT_FSIZE, &limit);
}

FileSizeLimit::~FileSizeLimit() {
  setrlimit(RLIMIT_FSIZE, &saved_);
  std::signal(SIGXFSZ, oldHandler_);
}

bool HaveProgram(const std::string& program) {
  int status = 0;
  RunCommand("command -v " + program + " >/dev/null 2>&1", &status);
  return status == 0;
}

void MakePreviewScene(const std::string& folder) {
  LayerCatalog.clear();
  for (const char* line :
       {"Area,面の層,2,,,200 0 0,name,名称,0,20,0,", "Road,線の層,1,,,0 160 0,name,名称,0,20,0,",
        "Spot,点の層,3,,square,0 0 220,name,名称,0,20,0,"})
    LayerCatalog.push_back(ParseCatalogLine(Sjis(line)));
  using tring = std::vector<double>;  // x, y in turn
  const std::vector<std::vector<std::vector<tring>>> shapes = {
      {{{130.00, 33.00, 130.00, 33.10, 130.10, 33.10, 130.10, 33.00, 130.00, 33.00},
        {130.04, 33.04, 130.06, 33.04, 130.06, 33.06, 130.04, 33.06, 130.04, 33.04}}},
      {{{130.02, 33.08, 130.08, 33.08}}, {{130.12, 33.00, 130.12, 33.10}}},
      {{{130.05, 33.08}}, {{130.02, 33.02}}},
  };
  for (int32_t n = 1; n <= LayerCount(); ++n) {
    CreateLayerFiles(folder, n);
    const std::string base = folder + CatalogEntry(n).Name;
    SHPHandle shp = SHPOpen(base.c_str(), "r+b");
    DBFHandle dbf = DBFOpen(base.c_str(), "r+b");
    int record = 0;
    for (const std::vector<tring>& shape : shapes[n - 1]) {
      std::vector<double> x, y;
      std::vector<int> starts;
      for (const tring& ring : shape) {
        starts.push_back(static_cast<int>(x.size()));
        for (size_t i = 0; i + 1 < ring.size(); i += 2)
          x.push_back(ring[i]), y.push_back(ring[i + 1]);
      }
      SHPObject* object = SHPCreateObject(
          ShapeTypeOfKind(CatalogEntry(n).Kind), -1, static_cast<int>(starts.size()), starts.data(),
          nullptr, static_cast<int>(x.size()), x.data(), y.data(), nullptr, nullptr);
      SHPWriteObject(shp, -1, object);
      SHPDestroyObject(object);
      const std::string value = n == 1 && record == 0
                                    ? Sjis("池の公園")
                                    : CatalogEntry(n).Name + " " + std::to_string(record);
      DBFWriteStringAttribute(dbf, record++, 0, value.c_str());
    }
    SHPClose(shp);
    DBFClose(dbf);
  }
}

}  // namespace testing_support
