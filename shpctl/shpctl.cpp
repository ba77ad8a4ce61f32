#include "shpctl/shpctl.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "common/errors.h"
#include "common/textfile.h"
#include "shpctl/setsnapshot.h"

tlayerset OpenSet;

const char* const kProjectionText =
    "GEOGCS[\"GCS_JGD_2000\",DATUM[\"D_JGD_2000\",SPHEROID[\"GRS_1980\",6378137.0,"
    "298.257222101]],PRIMEM[\"Greenwich\",0],UNIT[\"Degree\",0.0174532925199433]]";

const char* const kJgd2011ProjectionText =
    "GEOGCS[\"GCS_JGD_2011\",DATUM[\"D_JGD_2011\",SPHEROID[\"GRS_1980\",6378137.0,"
    "298.257222101]],PRIMEM[\"Greenwich\",0],UNIT[\"Degree\",0.0174532925199433]]";

namespace {

// The tables hold code page 932 text; the language driver byte 0x13 and the .cpg file say so.
constexpr const char* kTableCodePage = "LDID/19";
constexpr const char* kCpgText = "932";
constexpr const char* kRecordNumberField = "FID";

// The library's own error texts go nowhere: every failure is reported by the store itself.
void QuietError(const char*) {}

// Buffered file access for the library. It seeks before every record it writes, and a stdio
// stream answers each seek with a flush and a re-read of the block, several system calls per
// shape and per record. Here a seek only moves the position; writes that continue at the end
// of the pending bytes are gathered and go out in large blocks.
struct tbufferedfile {
  int fd = -1;
  std::string path;
  uint64_t pos = 0;           // the library's position in the file
  uint64_t pendingAt = 0;     // file offset of pending[0]
  std::vector<char> pending;  // written, not yet in the file
  bool failed = false;        // a write to the file went wrong
};

constexpr size_t kPendingBytes = size_t{1} << 20;

// Pending blocks of closed files, kept for the next ones: a run opens three files for every
// input file, and a fresh megabyte for each costs page faults and a zero fill every time.
std::vector<std::vector<char>> SparePending;
constexpr size_t kSparePending = 4;

// The library does not pass on every failed write (its closing writes return nothing), so the
// store keeps the first one itself, from the opening or creation of a set to its closing.
struct twritefailure {
  std::string Path;
  int Error = 0;
};
twritefailure WriteFailure;

// The open set as it was opened, to put back when a write to it fails.
tsetsnapshot OpenSnapshot;

void NoteWriteFailure(const tbufferedfile* f, int error) {
  if (WriteFailure.Error == 0) WriteFailure = twritefailure{f->path, error ? error : ENOSPC};
}

[[noreturn]] void RaiseWriteFailure() {
  const twritefailure failure = std::exchange(WriteFailure, twritefailure{});
  throw NabikError("Cannot write " + failure.Path + ": " + std::strerror(failure.Error));
}

tbufferedfile* AsFile(SAFile file) {
  return reinterpret_cast<tbufferedfile*>(file);
}

bool WriteAt(tbufferedfile* f, const char* data, size_t bytes, uint64_t at) {
  size_t done = 0;
  while (done < bytes) {
    const ssize_t n = ::pwrite(f->fd, data + done, bytes - done, static_cast<off_t>(at + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      NoteWriteFailure(f, n < 0 ? errno : 0);
      f->failed = true;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool FlushPending(tbufferedfile* f) {
  if (!f->pending.empty()) WriteAt(f, f->pending.data(), f->pending.size(), f->pendingAt);
  f->pending.clear();
  return !f->failed;
}

SAFile BufferedOpen(const char* filename, const char* access) {
  const std::string_view mode(access);
  const bool update = mode.find('+') != std::string_view::npos;
  int flags = O_CLOEXEC;
  if (mode.find('w') != std::string_view::npos)
    flags |= (update ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
  else
    flags |= update ? O_RDWR : O_RDONLY;
  const int fd = ::open(filename, flags, 0666);
  if (fd < 0) return nullptr;
  auto* f = new tbufferedfile;
  f->fd = fd;
  f->path = filename;
  if (!SparePending.empty()) {
    f->pending.swap(SparePending.back());
    SparePending.pop_back();
  }
  return reinterpret_cast<SAFile>(f);
}

SAOffset BufferedRead(void* p, SAOffset size, SAOffset nmemb, SAFile file) {
  tbufferedfile* f = AsFile(file);
  if (size == 0 || nmemb == 0 || !FlushPending(f)) return 0;
  const size_t wanted = size * nmemb;
  size_t got = 0;
  while (got < wanted) {
    const ssize_t n =
        ::pread(f->fd, static_cast<char*>(p) + got, wanted - got, static_cast<off_t>(f->pos + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  f->pos += got;
  return got / size;
}

SAOffset BufferedWrite(void* p, SAOffset size, SAOffset nmemb, SAFile file) {
  tbufferedfile* f = AsFile(file);
  const size_t bytes = size * nmemb;
  if (bytes == 0) return nmemb;
  // A write within or right after the pending bytes joins them (the table rewrites its end
  // mark with every record it appends); any other position sends them out first.
  const bool joins = f->pos >= f->pendingAt && f->pos <= f->pendingAt + f->pending.size();
  if (!f->pending.empty() && !joins && !FlushPending(f)) return 0;
  if (bytes >= kPendingBytes) {
    // A large block (the whole index at the close) goes out directly, not through a copy.
    if (!FlushPending(f) || !WriteAt(f, static_cast<const char*>(p), bytes, f->pos)) return 0;
    f->pos += bytes;
    return nmemb;
  }
  if (f->pending.empty()) {
    f->pendingAt = f->pos;
    if (f->pending.capacity() < kPendingBytes) f->pending.reserve(kPendingBytes);
  }
  const size_t at = f->pos - f->pendingAt;
  if (f->pending.size() < at + bytes) f->pending.resize(at + bytes);
  std::memcpy(f->pending.data() + at, p, bytes);
  f->pos += bytes;
  if (f->pending.size() >= kPendingBytes && !FlushPending(f)) return 0;
  return nmemb;
}

SAOffset BufferedSeek(SAFile file, SAOffset offset, int whence) {
  tbufferedfile* f = AsFile(file);
  // The offset is unsigned; a relative seek backwards arrives as its two's complement.
  const int64_t delta = static_cast<int64_t>(offset);
  int64_t base = 0;
  if (whence == SEEK_CUR) {
    base = static_cast<int64_t>(f->pos);
  } else if (whence == SEEK_END) {
    struct stat st;
    if (::fstat(f->fd, &st) != 0) return static_cast<SAOffset>(-1);
    base = std::max<int64_t>(st.st_size, static_cast<int64_t>(f->pendingAt + f->pending.size()));
  } else if (whence != SEEK_SET) {
    return static_cast<SAOffset>(-1);
  }
  if (base + delta < 0) return static_cast<SAOffset>(-1);
  f->pos = static_cast<uint64_t>(base + delta);
  return 0;
}

SAOffset BufferedTell(SAFile file) {
  return AsFile(file)->pos;
}

int BufferedFlush(SAFile file) {
  return FlushPending(AsFile(file)) ? 0 : EOF;
}

int BufferedClose(SAFile file) {
  tbufferedfile* f = AsFile(file);
  const bool written = FlushPending(f);
  const bool closed = ::close(f->fd) == 0;
  if (!closed) NoteWriteFailure(f, errno);
  const size_t room = f->pending.capacity();
  if (SparePending.size() < kSparePending && room >= kPendingBytes && room <= 2 * kPendingBytes) {
    f->pending.clear();
    SparePending.push_back(std::move(f->pending));
  }
  delete f;
  return written && closed ? 0 : EOF;
}

int RemoveFile(const char* filename) {
  return ::unlink(filename);
}

SAHooks* Hooks() {
  static SAHooks hooks = [] {
    SAHooks h;
    SASetupDefaultHooks(&h);
    h.FOpen = BufferedOpen;
    h.FRead = BufferedRead;
    h.FWrite = BufferedWrite;
    h.FSeek = BufferedSeek;
    h.FTell = BufferedTell;
    h.FFlush = BufferedFlush;
    h.FClose = BufferedClose;
    h.Remove = RemoveFile;
    h.Error = QuietError;
    return h;
  }();
  return &hooks;
}

void WriteSmallFile(const std::string& path, const std::string& content) {
  if (!WriteWholeFile(path, content)) throw NabikError("Cannot create " + path);
}

void CheckEntry(const tshpopentyp& e) {
  if (ShapeTypeOfKind(e.Kind) == 0)
    throw NabikError("Layer " + e.Name + ": geometry kind " + std::to_string(e.Kind) +
                     " is not 1 to 4");
  for (const tshpattr& a : e.Attrs)
    if (a.Type < 0 || a.Type > 2)
      throw NabikError("Layer " + e.Name + ": attribute " + a.Name + " has type " +
                       std::to_string(a.Type) + ", not 0 to 2");
}

}  // namespace

const char* ProjectionText(tdatum datum) {
  return DatumEpsg(datum) == 6668 ? kJgd2011ProjectionText : kProjectionText;
}

int32_t DatumEpsg(tdatum datum) {
  return datum == tdatum::Jgd2011 || datum == tdatum::Jgd2024 ? 6668 : 4612;
}

const char* DatumName(tdatum datum) {
  switch (datum) {
    case tdatum::Jgd2000:
      return "jgd2000";
    case tdatum::Jgd2011:
      return "jgd2011";
    case tdatum::Jgd2024:
      return "jgd2024";
    case tdatum::None:
      break;
  }
  return "no datum";
}

void WriteLayerProjection(const std::string& outputFolder, int32_t entry) {
  WriteLayerProjection(outputFolder, entry, ProjectionText(CatalogEntry(entry).Datum));
}

void WriteLayerProjection(const std::string& outputFolder, int32_t entry,
                          const std::string& prjLine) {
  WriteSmallFile(outputFolder + CatalogEntry(entry).Name + ".prj", prjLine + "\r\n");
}

int32_t ShapeTypeOfKind(int32_t kind) {
  switch (kind) {
    case 1:
    case 4:
      return SHPT_ARC;
    case 2:
      return SHPT_POLYGON;
    case 3:
      return SHPT_POINT;
    default:
      return 0;
  }
}

void CreateLayerFiles(const std::string& outputFolder, int32_t entry) {
  const tshpopentyp& e = CatalogEntry(entry);
  CheckEntry(e);
  const std::string base = outputFolder + e.Name;
  WriteFailure = twritefailure{};
  {
    ShpPtr shp(SHPCreateLL(base.c_str(), ShapeTypeOfKind(e.Kind), Hooks()));
    if (!shp) throw NabikError("Cannot create " + base + ".shp");
    DbfPtr dbf(DBFCreateLL(base.c_str(), kTableCodePage, Hooks()));
    if (!dbf) throw NabikError("Cannot create " + base + ".dbf");
    for (const tshpattr& a : e.Attrs) {
      if (DBFAddField(dbf.get(), a.Name.c_str(), static_cast<DBFFieldType>(a.Type), a.Width, 0) < 0)
        throw NabikError("Layer " + e.Name + ": cannot add the field " + a.Name + " to " + base +
                         ".dbf");
    }
    // The library writes no record into a table without fields; such a layer gets one column
    // with the record number, so that every shape has its record.
    if (e.Attrs.empty() && DBFAddField(dbf.get(), kRecordNumberField, FTInteger, 11, 0) < 0)
      throw NabikError("Layer " + e.Name + ": cannot add the field " + kRecordNumberField + " to " +
                       base + ".dbf");
  }
  if (WriteFailure.Error != 0) {
    // An empty set that did not reach the disk whole is no set: nothing is left of it.
    for (const char* ext : {".shp", ".shx", ".dbf", ".prj", ".cpg"}) ::unlink((base + ext).c_str());
    RaiseWriteFailure();
  }
  WriteSmallFile(base + ".prj", std::string(kProjectionText) + "\r\n");
  WriteSmallFile(base + ".cpg", kCpgText);
}

void OpenLayerFiles(const std::string& outputFolder, const std::string& name) {
  CloseLayerFiles();
  const std::string base = outputFolder + name;
  WriteFailure = twritefailure{};
  OpenSnapshot = TakeSetSnapshot(base);
  ShpPtr shp(SHPOpenLL(base.c_str(), "r+b", Hooks()));
  if (!shp) throw NabikError("Cannot open " + base + ".shp");
  DbfPtr dbf(DBFOpenLL(base.c_str(), "r+b", Hooks()));
  if (!dbf) throw NabikError("Cannot open " + base + ".dbf");
  int shapeType = 0;
  SHPGetInfo(shp.get(), nullptr, &shapeType, nullptr, nullptr);
  OpenSet.RecordIndex = DBFGetRecordCount(dbf.get()) - 1;
  OpenSet.ShapeType = shapeType;
  OpenSet.ShpHandle = shp.release();
  OpenSet.DbfHandle = dbf.release();
}

void CloseLayerFiles() {
  const bool open = OpenSet.ShpHandle || OpenSet.DbfHandle;
  if (OpenSet.ShpHandle) SHPClose(OpenSet.ShpHandle);
  if (OpenSet.DbfHandle) DBFClose(OpenSet.DbfHandle);
  OpenSet = tlayerset{};
  if (open && WriteFailure.Error != 0) RestoreSetSnapshot(OpenSnapshot);
  OpenSnapshot = tsetsnapshot{};
}

std::string RefusedWriteText() {
  if (WriteFailure.Error == 0) return {};
  return " into " + WriteFailure.Path + ": " + std::strerror(WriteFailure.Error);
}

void FinishLayerFiles() {
  CloseLayerFiles();
  if (WriteFailure.Error != 0) RaiseWriteFailure();
}
