#include "catalog/catalog.h"

#include <sys/stat.h>

#include <fstream>
#include <utility>

#include "catalog/intconv.h"
#include "common/paths.h"

std::vector<tshpopentyp> LayerCatalog;

namespace {

constexpr size_t kShortText = 20;
constexpr size_t kHeaderText = 60;

std::string Cut(std::string text, size_t bytes) {
  // The catalog's bounded texts keep their first bytes even inside a double-byte character.
  if (text.size() > bytes) text.resize(bytes);
  return text;
}

}  // namespace

std::string PopField(std::string& line) {
  const auto comma = line.find(',');
  if (comma == std::string::npos) return std::exchange(line, std::string());
  std::string field = line.substr(0, comma);
  line.erase(0, comma + 1);
  return field;
}

tshpopentyp ParseCatalogLine(std::string line) {
  tshpopentyp entry;
  entry.Name = Cut(PopField(line), kShortText);
  entry.Title = PopField(line);
  entry.Created = false;
  entry.Kind = StrToInt(PopField(line));
  entry.LabelItem = PopField(line);
  entry.Symbol = Cut(PopField(line), kShortText);
  entry.Color = Cut(PopField(line), kShortText);
  // A group is read while the rest of the line still holds a comma.
  while (line.find(',') != std::string::npos) {
    tshpattr attr;
    attr.Name = PopField(line);
    attr.Header = Cut(PopField(line), kHeaderText);
    attr.Type = StrToInt(PopField(line));
    attr.Width = StrToInt(PopField(line));
    StrToInt(PopField(line));  // the fifth column must be an integer; its value is not kept
    entry.Attrs.push_back(std::move(attr));
  }
  return entry;
}

std::string CatalogPath() {
  return ChangeFileExt(ExePath(), ".csv");
}

bool LoadLayerCatalog() {
  return LoadLayerCatalogFrom(CatalogPath());
}

bool LoadLayerCatalogFrom(const std::string& path) {
  LayerCatalog.clear();
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) return false;
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::string line;
  while (std::getline(file, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == ';') continue;
    LayerCatalog.push_back(ParseCatalogLine(std::move(line)));
  }
  return true;
}
