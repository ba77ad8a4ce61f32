#pragma once
// The MapServer web export at the end of every run: the etc folder with the kanji font, the font
// list and the symbol file, the unpacked web archive, libsu.php, the map file and nabik.php.
#include <functional>
#include <string>

// Runs the export for the output-path text. `ownerWindow` owns what the LHA library shows;
// `showMessage` shows the font warning. A write error on a file already open raises NabikError;
// a file that cannot be created ends or skips its step as the export's rules say.
void ExportMapServer(const std::string& outputPath, void* ownerWindow,
                     const std::function<void(const std::string&)>& showMessage);

// Copies `source` to `destination` byte for byte. False when the destination cannot be created,
// or when the source cannot be opened (the destination then stays as an empty file). A read or
// write error part way raises NabikError.
bool CopyFileByBlocks(const std::string& source, const std::string& destination);

// The command line that unpacks the web archive beside the executable into `destination`.
std::string WebArchiveCommand(const std::string& exeFolder, const std::string& destination);

// The folder holding symbols.sym and ms4wmap10.lzh, with its trailing '/'; empty means the
// executable's folder (tests point it elsewhere).
extern std::string ExportResourceFolder;

// The font warning, in CP932.
std::string FontWarningText();
