#include "mapserver/webexport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "common/errors.h"
#include "common/paths.h"
#include "common/text.h"
#include "common/textfile.h"
#include "mapserver/mapfile.h"
#include "susetu/susetu.h"
#include "unlha32/unlha32.h"

namespace {

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

[[noreturn]] void IoError(const std::string& what, const std::string& path) {
  throw NabikError(what + " " + path + ": " + std::strerror(errno));
}

}  // namespace

std::string ExportResourceFolder;

std::string FontWarningText() {
  return Sjis("漢字フォントの自動複写に失敗しました。msgothic.ttcを複写してください");
}

std::string WebArchiveCommand(const std::string& exeFolder, const std::string& destination) {
  return " e -x1 " + exeFolder + "ms4wmap10.lzh " + destination + " *.* " + "-p2 -y1";
}

bool CopyFileByBlocks(const std::string& source, const std::string& destination) {
  FdCloser out{::open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)};
  if (out.fd < 0) return false;
  FdCloser in{::open(source.c_str(), O_RDONLY | O_CLOEXEC)};
  struct stat info;
  if (in.fd < 0 || fstat(in.fd, &info) != 0 || !S_ISREG(info.st_mode)) return false;
  char block[1024];
  for (;;) {
    const ssize_t n = ::read(in.fd, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) IoError("Cannot read", source);
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(out.fd, block + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) IoError("Cannot write", destination);
      done += w;
    }
  }
  if (::close(std::exchange(out.fd, -1)) != 0) IoError("Cannot write", destination);
  return true;
}

void ExportMapServer(const std::string& outputPath, void* ownerWindow,
                     const std::function<void(const std::string&)>& showMessage) {
  // File names are bytes on a case-sensitive file system: the folder is used as typed.
  const std::string outputFolder = FolderPart(outputPath);
  const std::string& mapOutputFolder = outputFolder;
  const std::string fontFileName = FileNamePart(MapSettings.KanjiFont);
  const std::string fontAlias = ChangeFileExt(fontFileName, "");
  const std::string etc = outputFolder + "etc/";
  const std::string resources = ExportResourceFolder.empty() ? ExeFolder() : ExportResourceFolder;

  ::mkdir((outputFolder + "etc").c_str(), 0777);  // an existing folder is fine
  const bool fontCopied = CopyFileByBlocks(MapSettings.KanjiFont, etc + fontFileName);
  WriteTextLines(etc + "winfonts.txt", {fontAlias + std::string(24, ' ') + fontFileName});
  const bool symbolsCopied = CopyFileByBlocks(resources + "symbols.sym", etc + "symbols.sym");

  std::vector<char> messages(6001, '\0');
  const int32_t unpacked =
      Unlha(ownerWindow, WebArchiveCommand(resources, mapOutputFolder), messages.data(), 6000);
  const std::string htdocs = mapOutputFolder + "ms4w/Apache/htdocs/";
  const std::string mapName = OutputMapName(outputPath);
  if (unpacked == 0)
    WriteTextLines(htdocs + "libsu.php",
                   {"<?php", "$map_file=\"" + mapName + "\"; //" + Sjis("mapfile名"), "?>"});

  if (!WriteMapFile(outputPath, mapOutputFolder, fontCopied, fontAlias, symbolsCopied)) return;

  const bool viewerWritten =
      WriteTextLines(outputFolder + "nabik.php",
                     {"<?php", "dl( \"php_mapscript.dll\" );", "$mapfile = \"" + mapName + "\";",
                      "$map = ms_newMapObj( $mapfile ); // load the mapfile",
                      "$img = $map -> draw(); // draw the map",
                      "$img_url = $img->saveWebImage(); // save img & get the URL",
                      "echo \"<IMG SRC='$img_url'>\"; // display map with an IMG tag", "", "?>"});
  if (viewerWritten && !fontCopied) showMessage(FontWarningText());
}
