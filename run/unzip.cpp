#include "run/unzip.h"

#include <fcntl.h>
#include <libdeflate.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "common/errors.h"

namespace {

// Entries are inflated on several threads at once, each with its own archive handle. An entry
// whose data and inflated bytes fit kInMemoryBytes (shared out among the threads) is inflated in
// one go by libdeflate, several times faster than zlib's streaming; a larger one, or any entry
// libdeflate refuses, streams through libzip in 64 KB blocks as before, so its messages stay
// the zip library's. Files are committed under their own names in archive order, so that what
// the folder holds when an entry fails is what a one-by-one extraction leaves.
constexpr size_t kMaxThreads = 4;
constexpr size_t kInMemoryBytes = size_t{32} << 20;

struct ZipArchiveCloser {
  void operator()(zip_t* z) const { zip_discard(z); }
};
struct ZipFileCloser {
  void operator()(zip_file_t* f) const { zip_fclose(f); }
};
struct DecompressorFreer {
  void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};
using ZipHandle = std::unique_ptr<zip_t, ZipArchiveCloser>;

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
bool WriteAll(int fd, const char* data, size_t size) {
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
  std::string Stored, Target, Temp;
  bool Finished = false;  // set by the thread that took it, under the shared lock
  std::string Error;      // empty when the temporary file holds the whole entry
};

// A growing byte block that is never zero-filled (it is always written before it is read).
struct tbytes {
  std::unique_ptr<char[]> Data;
  size_t Size = 0;
  char* Room(size_t bytes) {
    if (bytes > Size) {
      Data.reset(new char[bytes]);
      Size = bytes;
    }
    return Data.get();
  }
};

// The extraction of one archive, shared by its threads.
struct tzipextraction {
  std::string Archive;
  std::vector<tzipjob> Jobs;
  size_t InMemoryBytes = 0;  // per thread
  std::atomic<size_t> Next{0};
  std::atomic<bool> Stop{false};
  std::mutex Lock;
  std::condition_variable Changed;
};

// One thread's own archive handle and buffers.
struct tzipworker {
  ZipHandle Zip;
  std::unique_ptr<libdeflate_decompressor, DecompressorFreer> Inflater;
  tbytes Packed, Inflated;
  std::vector<char> Block = std::vector<char>(1 << 16);
};

std::string ExtractError(const tzipextraction& run, const tzipjob& job, const char* why) {
  return "Cannot extract " + job.Stored + " from " + run.Archive + ": " + why;
}

// The entry inflated in memory into `bytes`; false when it is not a deflated entry within the
// memory bound, or when libdeflate does not inflate it to exactly its size and checksum.
bool InflateInMemory(const tzipextraction& run, tzipworker& w, const tzipjob& job, size_t& bytes) {
  zip_stat_t st;
  if (zip_stat_index(w.Zip.get(), job.Index, 0, &st) != 0) return false;
  constexpr zip_uint64_t kNeeded = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD |
                                   ZIP_STAT_CRC | ZIP_STAT_ENCRYPTION_METHOD;
  if ((st.valid & kNeeded) != kNeeded || st.comp_method != ZIP_CM_DEFLATE ||
      st.encryption_method != ZIP_EM_NONE || st.size > run.InMemoryBytes ||
      st.comp_size > run.InMemoryBytes)
    return false;
  std::unique_ptr<zip_file_t, ZipFileCloser> raw(
      zip_fopen_index(w.Zip.get(), job.Index, ZIP_FL_COMPRESSED));
  if (!raw) return false;
  char* packed = w.Packed.Room(st.comp_size + 1);
  size_t have = 0;
  while (have < st.comp_size) {
    const zip_int64_t n = zip_fread(raw.get(), packed + have, st.comp_size - have);
    if (n <= 0) return false;
    have += static_cast<size_t>(n);
  }
  if (!w.Inflater) w.Inflater.reset(libdeflate_alloc_decompressor());
  if (!w.Inflater) return false;
  char* out = w.Inflated.Room(std::max<size_t>(st.size, 1));
  size_t produced = 0;
  if (libdeflate_deflate_decompress(w.Inflater.get(), packed, have, out, st.size, &produced) !=
          LIBDEFLATE_SUCCESS ||
      produced != st.size || libdeflate_crc32(0, out, produced) != st.crc)
    return false;
  bytes = produced;
  return true;
}

// Extracts one entry into its temporary file; the error text when it fails.
std::string ExtractEntry(const tzipextraction& run, tzipworker& w, const tzipjob& job) {
  size_t inflated = 0;
  const bool inMemory = InflateInMemory(run, w, job, inflated);
  std::unique_ptr<zip_file_t, ZipFileCloser> entry;
  if (!inMemory) {
    entry.reset(zip_fopen_index(w.Zip.get(), job.Index, 0));
    if (!entry) return ExtractError(run, job, zip_strerror(w.Zip.get()));
  }
  const int fd = ::open(job.Temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return SystemError("Cannot create " + job.Target);
  std::string error;
  if (inMemory) {
    if (!WriteAll(fd, w.Inflated.Data.get(), inflated))
      error = SystemError("Cannot write " + job.Target);
  } else {
    for (;;) {
      if (run.Stop) {
        error = "stopped";  // a job before this one failed; its error is the one reported
        break;
      }
      const zip_int64_t n = zip_fread(entry.get(), w.Block.data(), w.Block.size());
      if (n < 0) {
        error = ExtractError(run, job, zip_file_strerror(entry.get()));
        break;
      }
      if (n == 0) break;
      if (!WriteAll(fd, w.Block.data(), static_cast<size_t>(n))) {
        error = SystemError("Cannot write " + job.Target);
        break;
      }
    }
  }
  if (::close(fd) != 0 && error.empty()) error = SystemError("Cannot write " + job.Target);
  return error;
}

void ExtractJobs(tzipextraction& run) {
  tzipworker w;
  for (;;) {
    const size_t k = run.Next++;
    if (k >= run.Jobs.size() || run.Stop) return;
    tzipjob& job = run.Jobs[k];
    std::string error;
    try {
      if (!w.Zip) w.Zip = OpenArchive(run.Archive);
      error = ExtractEntry(run, w, job);
    } catch (const std::exception& e) {
      error = e.what();
    }
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

}  // namespace

std::string FlatEntryName(const std::string& storedName) {
  const auto sep = storedName.find_last_of("/\\");
  std::string name = sep == std::string::npos ? storedName : storedName.substr(sep + 1);
  if (name == "." || name == "..") name.clear();
  return name;
}

void ExtractZipFlat(const std::string& archive, const std::string& folder) {
  tzipextraction run;
  run.Archive = archive;
  const std::string base = folder.empty() || folder.back() == '/' ? folder : folder + "/";
  std::vector<std::string> names;
  {
    const ZipHandle zip = OpenArchive(archive);
    const zip_int64_t count = zip_get_num_entries(zip.get(), 0);
    for (zip_int64_t i = 0; i < count; ++i) {
      const char* stored = zip_get_name(zip.get(), i, ZIP_FL_ENC_RAW);
      if (!stored) continue;
      std::string name = FlatEntryName(stored);
      if (name.empty()) continue;
      tzipjob job;
      job.Index = static_cast<zip_uint64_t>(i);
      job.Stored = stored;
      job.Target = base + name;
      run.Jobs.push_back(std::move(job));
      names.push_back(std::move(name));
    }
  }
  if (run.Jobs.empty()) return;
  // Temporary names that no entry lands under: a commit must never replace the temporary file
  // of another entry.
  std::string prefix = ".nabik-unzip-";
  while (std::any_of(names.begin(), names.end(),
                     [&](const std::string& name) { return name.starts_with(prefix); }))
    prefix += '-';
  for (size_t k = 0; k < run.Jobs.size(); ++k)
    run.Jobs[k].Temp = base + prefix + std::to_string(k) + ".tmp";
  const size_t threads = std::min(
      {std::max<size_t>(std::thread::hardware_concurrency(), 1), kMaxThreads, run.Jobs.size()});
  run.InMemoryBytes = kInMemoryBytes / threads / 2;  // the packed and the inflated block
  tzipthreads pool{run, {}};
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
    if (!error.empty()) throw NabikError(error);
    if (::rename(job.Temp.c_str(), job.Target.c_str()) != 0)
      throw NabikError(SystemError("Cannot write " + job.Target));
    ++pool.Committed;
  }
}
