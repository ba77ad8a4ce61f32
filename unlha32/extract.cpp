#include "unlha32/extract.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/paths.h"
#include "unlha32/entrypath.h"
#include "unlha32/unlha32.h"

namespace {

// CRC-16 of LHA archives (polynomial 0x8005, reflected, starting at 0).
uint16_t Crc16(uint16_t crc, const unsigned char* data, size_t length) {
  static const std::array<uint16_t, 256> table = [] {
    std::array<uint16_t, 256> t{};
    for (unsigned n = 0; n < 256; ++n) {
      unsigned c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xA001 : c >> 1;
      t[n] = static_cast<uint16_t>(c);
    }
    return t;
  }();
  for (size_t i = 0; i < length; ++i)
    crc = static_cast<uint16_t>((crc >> 8) ^ table[(crc ^ data[i]) & 0xFF]);
  return crc;
}

// The archive file as lhasa reads it.
struct tarchivestream {
  FILE* File = nullptr;
  uint64_t Size = 0;
  uint64_t Position = 0;
  bool Failed = false;  // a read error, or a skip past the end of the file
};

int StreamRead(void* handle, void* buffer, size_t length) {
  auto& stream = *static_cast<tarchivestream*>(handle);
  const size_t got = fread(buffer, 1, length, stream.File);
  if (got < length && ferror(stream.File)) {
    stream.Failed = true;
    return -1;
  }
  stream.Position += got;
  return static_cast<int>(got);
}

int StreamSkip(void* handle, size_t bytes) {
  auto& stream = *static_cast<tarchivestream*>(handle);
  if (bytes > stream.Size - stream.Position ||
      fseeko(stream.File, static_cast<off_t>(bytes), SEEK_CUR) != 0) {
    stream.Failed = true;
    return 0;
  }
  stream.Position += bytes;
  return 1;
}

// The file is closed by its owner, not by lhasa.
void StreamClose(void*) {}

const LHAInputStreamType kStreamType = {StreamRead, StreamSkip, StreamClose};

struct tfileholder {
  FILE* File;
  ~tfileholder() {
    if (File) fclose(File);
  }
};

// Frees the reader before the stream it reads.
struct treaderholder {
  const tlhasaapi& Api;
  LHAInputStream* Stream = nullptr;
  LHAReader* Reader = nullptr;
  ~treaderholder() {
    if (Reader) Api.ReaderFree(Reader);
    if (Stream) Api.InputStreamFree(Stream);
  }
};

struct tprogress {
  int32_t Result = 0;
  int Files = 0;
  int Folders = 0;
  int Failures = 0;
  std::string Lines;

  void Fail(int32_t result, const std::string& line) {
    if (Result == 0) Result = result;
    ++Failures;
    Lines += line + "\n";
  }
};

std::string SystemError() {
  return std::strerror(errno);
}

bool WriteAll(int fd, const unsigned char* data, size_t length) {
  while (length > 0) {
    const ssize_t written = write(fd, data, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    length -= static_cast<size_t>(written);
  }
  return true;
}

// A new file in the target's folder, to be renamed over the target once it is complete.
int OpenTempBeside(const std::string& target, std::string& tempPath) {
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    tempPath = FolderPart(target) + ".nabik-" + std::to_string(getpid()) + "-" +
               std::to_string(++counter) + ".tmp";
    const int fd = open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Decodes the current entry into `target`. Returns 0, or the failure with its line in `problem`.
int32_t WriteEntryFile(const tlhasaapi& api, LHAReader* reader, const LHAFileHeader& header,
                       const std::string& target, std::vector<unsigned char>& buffer,
                       std::string& problem) {
  const std::string folder = FolderPart(target);
  if (!folder.empty() && !ForceDirectories(folder)) {
    problem = "Cannot create folder " + folder;
    return UnlhaWriteError;
  }
  std::string tempPath;
  const int fd = OpenTempBeside(target, tempPath);
  if (fd < 0) {
    problem = "Cannot write " + target + ": " + SystemError();
    return UnlhaWriteError;
  }
  uint16_t crc = 0;
  size_t total = 0;
  bool written = true;
  for (size_t got; (got = api.ReaderRead(reader, buffer.data(), buffer.size())) > 0;) {
    crc = Crc16(crc, buffer.data(), got);
    total += got;
    if (!WriteAll(fd, buffer.data(), got)) {
      written = false;
      break;
    }
  }
  if (!written) problem = "Cannot write " + target + ": " + SystemError();
  if (close(fd) != 0 && written) {
    written = false;
    problem = "Cannot write " + target + ": " + SystemError();
  }
  if (!written) {
    unlink(tempPath.c_str());
    return UnlhaWriteError;
  }
  if (total != header.length || crc != header.crc) {
    unlink(tempPath.c_str());
    problem = "CRC error, not extracted: " + target;
    return UnlhaDamagedEntry;
  }
  if (rename(tempPath.c_str(), target.c_str()) != 0) {
    problem = "Cannot write " + target + ": " + SystemError();
    unlink(tempPath.c_str());
    return UnlhaWriteError;
  }
  return 0;
}

// lhasa ends its list of entries alike at the end-of-archive mark (a zero header size) and at a
// header that is cut or broken, so the mark is looked for where the next header would start.
// A zero there that begins something shaped like a header ("-lh5-" two bytes on) is no mark.
bool EndMarkAt(const tarchivestream& stream, uint64_t at) {
  unsigned char bytes[7];
  if (at >= stream.Size) return false;
  const ssize_t got = pread(fileno(stream.File), bytes, sizeof bytes, static_cast<off_t>(at));
  if (got < 1 || bytes[0] != 0) return false;
  return got < 7 || bytes[2] != '-' || bytes[6] != '-';
}

bool IsFolderEntry(const LHAFileHeader& header) {
  return std::strcmp(header.compress_method, LHA_COMPRESS_TYPE_DIR) == 0;
}

// Extracts (or refuses) the entry the reader stands on.
void ExtractEntry(const tlhasaapi& api, LHAReader* reader, const LHAFileHeader& header,
                  const tunlhacommand& command, const std::string& destination,
                  std::vector<unsigned char>& buffer, tprogress& progress) {
  const std::string stored = StoredEntryPath(
      header.header_level,
      std::string_view(reinterpret_cast<const char*>(header.raw_data), header.raw_data_len),
      header.path ? header.path : "", header.filename ? header.filename : "");
  // A link could lead later entries out of the destination; LHA marks one as "name|target".
  if (header.symlink_target || (IsFolderEntry(header) && stored.find('|') != std::string::npos)) {
    progress.Fail(UnlhaUnsupportedEntry, "Symbolic link not extracted: " + stored);
    return;
  }
  const std::optional<std::string> relative = SafeRelativePath(stored);
  if (!relative || (!IsFolderEntry(header) && relative->empty())) {
    progress.Fail(UnlhaUnsafeEntry, "Unsafe path refused: " + stored);
    return;
  }
  const std::string target = destination + *relative;
  if (IsFolderEntry(header)) {
    if (relative->empty()) return;
    if (!ForceDirectories(target)) {
      progress.Fail(UnlhaWriteError, "Cannot create folder " + target);
      return;
    }
    ++progress.Folders;
    return;
  }
  if (!MatchesPatterns(command, FileNamePart(*relative))) return;
  std::string problem;
  const int32_t result = WriteEntryFile(api, reader, header, target, buffer, problem);
  if (result != 0) {
    progress.Fail(result, problem);
    return;
  }
  ++progress.Files;
}

}  // namespace

int32_t ExtractArchive(const tlhasaapi& api, const tunlhacommand& command, std::string& report) {
  tfileholder archive{fopen(command.Archive.c_str(), "rb")};
  struct stat info;
  if (!archive.File || fstat(fileno(archive.File), &info) != 0 || !S_ISREG(info.st_mode)) {
    report = "Cannot open archive " + command.Archive +
             (archive.File ? std::string(": not a file") : ": " + SystemError()) + "\n";
    return UnlhaNoArchive;
  }
  std::string destination = command.Destination;
  if (!destination.empty() && destination.back() != '/') destination += '/';
  if (!destination.empty() && !ForceDirectories(destination)) {
    report = "Cannot create folder " + destination + "\n";
    return UnlhaWriteError;
  }

  tarchivestream stream{archive.File, static_cast<uint64_t>(info.st_size)};
  treaderholder holder{api};
  holder.Stream = api.InputStreamNew(&kStreamType, &stream);
  if (holder.Stream) holder.Reader = api.ReaderNew(holder.Stream);
  if (!holder.Reader) {
    report = "Cannot read archive " + command.Archive + "\n";
    return UnlhaDamagedArchive;
  }
  // Folders as they come; their times are not restored, so nothing needs deferring.
  api.ReaderSetDirPolicy(holder.Reader, LHA_READER_DIR_PLAIN);

  tprogress progress;
  std::vector<unsigned char> buffer(64 * 1024);
  int entries = 0;
  uint64_t nextHeaderAt = 0;
  while (const LHAFileHeader* header = api.ReaderNextFile(holder.Reader)) {
    ++entries;
    // The header is read; its data follows.
    nextHeaderAt = stream.Position + header->compressed_length;
    ExtractEntry(api, holder.Reader, *header, command, destination, buffer, progress);
  }
  const bool endMark = !stream.Failed && EndMarkAt(stream, nextHeaderAt);
  if (entries == 0)
    progress.Fail(
        UnlhaDamagedArchive,
        (endMark ? "The archive holds no entries: " : "Not an LHA archive: ") + command.Archive);
  else if (!endMark)
    progress.Fail(UnlhaDamagedArchive, "Damaged or truncated archive: " + command.Archive);

  report = "Extracted " + std::to_string(progress.Files) + " files and " +
           std::to_string(progress.Folders) + " folders from " + command.Archive + " into " +
           (destination.empty() ? std::string("./") : destination);
  if (progress.Failures > 0) report += "; " + std::to_string(progress.Failures) + " failed";
  report += "\n" + progress.Lines;
  return progress.Result;
}
