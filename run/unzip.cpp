#include "run/unzip.h"

#include <fcntl.h>
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/errors.h"
#include "common/paths.h"
#include "common/stop.h"

namespace {

// Entries are extracted on several threads at once, each with its own archive handle. A
// deflated entry is inflated by ISA-L from its packed bytes, block by block straight into its
// file, so memory stays flat whatever its size; an entry stored or encrypted, or one ISA-L does
// not inflate to exactly its size and checksum, starts over through libzip's own streaming, so
// its messages stay the zip library's. Files are committed under their own names in name order,
// so that the first entry that fails is the one a one-by-one extraction reports.
constexpr size_t kMaxThreads = 4;
constexpr size_t kBlockBytes = size_t{256} << 10;

struct ZipArchiveCloser {
  void operator()(zip_t* z) const { zip_discard(z); }
};
struct ZipFileCloser {
  void operator()(zip_file_t* f) const { zip_fclose(f); }
};
using ZipHandle = std::unique_ptr<zip_t, ZipArchiveCloser>;
using ZipFile = std::unique_ptr<zip_file_t, ZipFileCloser>;

ZipHandle OpenArchive(const std::string& archive) {
  int error = 0;
  ZipHandle zip(zip_open(archive.c_str(), ZIP_RDONLY, &error));
  if (!zip) {
    zip_error_t ze;
    zip_error_init_with_code(&ze, error);
    const std::string message =
        "Cannot open the archive " + archive + ": " + zip_error_strerror(&ze);
    zip_error_fini(&ze);
    throw NabikError(message);
  }
  return zip;
}

// Writes a whole buffer to a file descriptor.
bool WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::string SystemError(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

// One entry to extract, and what became of it.
struct tzipjob {
  zip_uint64_t Index = 0;
  std::string Stored, Name, Target, Temp;
  bool Finished = false;  // set by the thread that took it, under the shared lock
  std::string Error;      // empty when the temporary file holds the whole entry
};

// The extraction of one archive, shared by its threads.
struct tzipextraction {
  std::string Archive;
  std::vector<tzipjob> Jobs;
  const std::atomic<bool>* Cancel = nullptr;  // the caller's
  std::atomic<size_t> Next{0};
  std::atomic<bool> Stop{false};
  std::mutex Lock;
  std::condition_variable Changed;
  bool Stopped() const {
    return Stop || (Cancel && *Cancel) || StopSignal.load(std::memory_order_relaxed) != 0;
  }
};

// One thread's own archive handle, inflater and blocks.
struct tzipworker {
  ZipHandle Zip;
  std::unique_ptr<inflate_state> Inflater;
  std::vector<uint8_t> Packed = std::vector<uint8_t>(kBlockBytes);
  std::vector<uint8_t> Inflated = std::vector<uint8_t>(kBlockBytes);
};

std::string ExtractError(const tzipextraction& run, const tzipjob& job, const char* why) {
  return "Cannot extract " + job.Stored + " from " + run.Archive + ": " + why;
}

// Inflates a deflated entry with ISA-L into `fd`. False when the entry is not one ISA-L can take
// or when it does not give exactly the entry's size and checksum: the caller then starts over.
// True when done, with `error` set when the file could not be written or the run stopped.
bool InflateFast(const tzipextraction& run, tzipworker& w, const tzipjob& job, int fd,
                 std::string& error) {
  zip_stat_t st;
  if (zip_stat_index(w.Zip.get(), job.Index, 0, &st) != 0) return false;
  constexpr zip_uint64_t kNeeded = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD |
                                   ZIP_STAT_CRC | ZIP_STAT_ENCRYPTION_METHOD;
  if ((st.valid & kNeeded) != kNeeded || st.comp_method != ZIP_CM_DEFLATE ||
      st.encryption_method != ZIP_EM_NONE)
    return false;
  const ZipFile raw(zip_fopen_index(w.Zip.get(), job.Index, ZIP_FL_COMPRESSED));
  if (!raw) return false;
  if (!w.Inflater) w.Inflater = std::make_unique<inflate_state>();
  inflate_state& s = *w.Inflater;
  isal_inflate_init(&s);
  s.crc_flag = ISAL_DEFLATE;  // raw deflate; the checksum is taken below
  zip_uint64_t packedLeft = st.comp_size, written = 0;
  uint32_t crc = 0;
  while (s.block_state != ISAL_BLOCK_FINISH) {
    if (run.Stopped()) {
      error = "stopped";  // a job before this one failed; its error is the one reported
      return true;
    }
    if (s.avail_in == 0) {
      if (packedLeft == 0) return false;  // the data ends before the deflate stream does
      const zip_int64_t n = zip_fread(raw.get(), w.Packed.data(),
                                      std::min<zip_uint64_t>(w.Packed.size(), packedLeft));
      if (n <= 0) return false;
      s.next_in = w.Packed.data();
      s.avail_in = static_cast<uint32_t>(n);
      packedLeft -= static_cast<zip_uint64_t>(n);
    }
    const uint32_t inBefore = s.avail_in;
    s.next_out = w.Inflated.data();
    s.avail_out = static_cast<uint32_t>(w.Inflated.size());
    if (isal_inflate(&s) != ISAL_DECOMP_OK) return false;
    const size_t produced = w.Inflated.size() - s.avail_out;
    if (produced == 0 && s.avail_in == inBefore && s.block_state != ISAL_BLOCK_FINISH)
      return false;  // no progress
    written += produced;
    if (written > st.size) return false;
    crc = crc32_gzip_refl(crc, w.Inflated.data(), produced);
    if (!WriteAll(fd, w.Inflated.data(), produced)) {
      error = SystemError("Cannot write " + job.Target);
      return true;
    }
  }
  return written == st.size && crc == st.crc;
}

// Streams one entry through libzip into `fd`; the error text when it fails.
std::string StreamEntry(const tzipextraction& run, tzipworker& w, const tzipjob& job, int fd) {
  const ZipFile entry(zip_fopen_index(w.Zip.get(), job.Index, 0));
  if (!entry) return ExtractError(run, job, zip_strerror(w.Zip.get()));
  for (;;) {
    if (run.Stopped()) return "stopped";
    const zip_int64_t n = zip_fread(entry.get(), w.Inflated.data(), w.Inflated.size());
    if (n < 0) return ExtractError(run, job, zip_file_strerror(entry.get()));
    if (n == 0) return std::string();
    if (!WriteAll(fd, w.Inflated.data(), static_cast<size_t>(n)))
      return SystemError("Cannot write " + job.Target);
  }
}

// Extracts one entry into its temporary file; the error text when it fails.
std::string ExtractEntry(const tzipextraction& run, tzipworker& w, const tzipjob& job) {
  const int fd = ::open(job.Temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return SystemError("Cannot create " + job.Target);
  std::string error;
  if (!InflateFast(run, w, job, fd, error)) {
    // Start over from the entry's beginning, in an empty file.
    if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0)
      error = SystemError("Cannot write " + job.Target);
    else
      error = StreamEntry(run, w, job, fd);
  }
  if (::close(fd) != 0 && error.empty()) error = SystemError("Cannot write " + job.Target);
  return error;
}

// One job on this thread's handle: the error text when it fails.
std::string RunJob(tzipextraction& run, tzipworker& w, const tzipjob& job) {
  try {
    if (!w.Zip) w.Zip = OpenArchive(run.Archive);
    return ExtractEntry(run, w, job);
  } catch (const std::exception& e) {
    return e.what();
  }
}

void ExtractJobs(tzipextraction& run) {
  tzipworker w;
  for (;;) {
    const size_t k = run.Next++;
    if (k >= run.Jobs.size()) return;
    tzipjob& job = run.Jobs[k];
    // Every job taken is finished, stopped or not: the committing thread waits for each.
    std::string error = run.Stopped() ? std::string("stopped") : RunJob(run, w, job);
    {
      std::lock_guard<std::mutex> hold(run.Lock);
      job.Error = std::move(error);
      job.Finished = true;
    }
    run.Changed.notify_all();
  }
}

// The threads of one extraction: joined, and every temporary file not committed removed, on
// every way out.
struct tzipthreads {
  tzipextraction& Run;
  std::vector<std::thread> Threads;
  size_t Committed = 0;
  ~tzipthreads() {
    Run.Stop = true;
    for (std::thread& t : Threads) t.join();
    for (size_t k = Committed; k < Run.Jobs.size(); ++k) ::unlink(Run.Jobs[k].Temp.c_str());
  }
};

// Gives a finished job's file its own name, or raises the job's error (RunStopped when the run
// was asked to stop).
void Commit(tzipthreads& pool, const tzipjob& job, const std::string& error) {
  CheckStop();
  if (!error.empty()) throw NabikError(error);
  if (::rename(job.Temp.c_str(), job.Target.c_str()) != 0)
    throw NabikError(SystemError("Cannot write " + job.Target));
  ++pool.Committed;
}

}  // namespace

std::string FlatEntryName(const std::string& storedName) {
  const auto sep = storedName.find_last_of("/\\");
  std::string name = sep == std::string::npos ? storedName : storedName.substr(sep + 1);
  if (name == "." || name == "..") name.clear();
  return name;
}

uint64_t ZipInflatedBytes(const std::string& archive) {
  int error = 0;
  const ZipHandle zip(zip_open(archive.c_str(), ZIP_RDONLY, &error));
  if (!zip) return 0;
  uint64_t bytes = 0;
  const zip_int64_t count = zip_get_num_entries(zip.get(), 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    zip_stat_t st;
    if (zip_stat_index(zip.get(), i, ZIP_FL_ENC_RAW, &st) != 0) continue;
    if (!(st.valid & ZIP_STAT_SIZE) || !(st.valid & ZIP_STAT_NAME)) continue;
    if (!FlatEntryName(st.name).empty()) bytes += st.size;
  }
  return bytes;
}

bool IsArchive(const std::string& path) {
  std::string ext = FileExtPart(path);
  for (char& c : ext)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return ext == ".ZIP";
}

std::vector<std::string> ExtractZip(const std::string& archive, const std::string& folder,
                                    const tzipoptions& options) {
  tzipextraction run;
  run.Archive = archive;
  run.Cancel = options.Stop;
  const std::string base = folder.empty() || folder.back() == '/' ? folder : folder + "/";
  {
    const ZipHandle zip = OpenArchive(archive);
    const zip_int64_t count = zip_get_num_entries(zip.get(), 0);
    for (zip_int64_t i = 0; i < count; ++i) {
      const char* stored = zip_get_name(zip.get(), i, ZIP_FL_ENC_RAW);
      if (!stored) continue;
      tzipjob job;
      job.Name = FlatEntryName(stored);
      if (job.Name.empty()) continue;
      job.Index = static_cast<zip_uint64_t>(i);
      job.Stored = stored;
      run.Jobs.push_back(std::move(job));
    }
  }
  // Byte order (std::string compares as unsigned char), so every machine converts alike; entries
  // stored twice under one name keep their archive order.
  std::stable_sort(run.Jobs.begin(), run.Jobs.end(),
                   [](const tzipjob& a, const tzipjob& b) { return a.Stored < b.Stored; });
  std::unordered_map<std::string, size_t> seen;
  size_t folders = 0;
  std::vector<std::string> paths;
  for (size_t k = 0; k < run.Jobs.size(); ++k) {
    tzipjob& job = run.Jobs[k];
    const size_t before = seen[job.Name]++;
    folders = std::max(folders, before + 1);
    job.Target = base + std::to_string(before) + "/" + job.Name;
    job.Temp = base + std::to_string(k) + ".part";  // beside the digit folders, never in them
    paths.push_back(job.Target);
  }
  for (size_t k = 0; k < folders; ++k) {
    const std::string made = base + std::to_string(k);
    if (::mkdir(made.c_str(), 0755) != 0 && errno != EEXIST)
      throw NabikError(SystemError("Cannot create the folder " + made));
  }
  if (run.Jobs.empty()) return paths;
  size_t threads = std::min(
      {std::max<size_t>(std::thread::hardware_concurrency(), 1), kMaxThreads, run.Jobs.size()});
  if (options.MaxThreads > 0) threads = std::min(threads, options.MaxThreads);
  tzipthreads pool{run, {}};
  if (threads == 1) {
    // On this thread alone: each entry is committed before the next is read.
    tzipworker w;
    for (const tzipjob& job : run.Jobs) Commit(pool, job, RunJob(run, w, job));
    return paths;
  }
  try {
    for (size_t t = 0; t < threads; ++t) pool.Threads.emplace_back(ExtractJobs, std::ref(run));
  } catch (const std::system_error&) {
    // The system gives no (more) threads: those started go on, or this one does the work.
    if (pool.Threads.empty()) ExtractJobs(run);
  }
  for (tzipjob& job : run.Jobs) {
    std::unique_lock<std::mutex> hold(run.Lock);
    run.Changed.wait(hold, [&] { return job.Finished; });
    const std::string error = job.Error;
    hold.unlock();
    Commit(pool, job, error);
  }
  return paths;
}
