// Inflation alone, on one thread, in memory: every deflated entry of the archives given, once
// through libzip's own streaming (zlib) and once through ISA-L's streaming inflater, both in
// 256 KB blocks with the entry's CRC checked. Prints MB/s of inflated bytes, the best of three.
// Usage: inflate ARCHIVE...
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#include <zip.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

struct tentry {
  zip_uint64_t index = 0;
  int archive = 0;
  std::vector<unsigned char> packed;
  zip_uint64_t size = 0;
  uint32_t crc = 0;
};

std::vector<unsigned char> block(256 << 10);

bool ThroughLibzip(zip_t* zip, const tentry& e) {
  zip_file_t* file = zip_fopen_index(zip, e.index, 0);
  if (!file) return false;
  zip_uint64_t got = 0;
  for (zip_int64_t n; (n = zip_fread(file, block.data(), block.size())) > 0;) got += n;
  zip_fclose(file);  // libzip checks the CRC at the end of the entry
  return got == e.size;
}

bool ThroughIsal(const tentry& e) {
  inflate_state state;
  isal_inflate_init(&state);
  state.crc_flag = IGZIP_DEFLATE;
  state.next_in = const_cast<unsigned char*>(e.packed.data());
  state.avail_in = static_cast<uint32_t>(e.packed.size());
  uint32_t crc = 0;
  zip_uint64_t got = 0;
  while (state.block_state != ISAL_BLOCK_FINISH) {
    state.next_out = block.data();
    state.avail_out = static_cast<uint32_t>(block.size());
    if (isal_inflate(&state) != ISAL_DECOMP_OK) return false;
    const uint32_t n = static_cast<uint32_t>(block.size()) - state.avail_out;
    crc = crc32_gzip_refl(crc, block.data(), n);
    got += n;
    if (n == 0 && state.avail_in == 0 && state.block_state != ISAL_BLOCK_FINISH) return false;
  }
  return got == e.size && crc == e.crc;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<zip_t*> archives;
  std::vector<tentry> entries;
  double megabytes = 0;
  for (int a = 1; a < argc; ++a) {
    int error = 0;
    zip_t* zip = zip_open(argv[a], ZIP_RDONLY, &error);
    if (!zip) {
      std::fprintf(stderr, "cannot open %s\n", argv[a]);
      return 1;
    }
    archives.push_back(zip);
    for (zip_int64_t i = 0; i < zip_get_num_entries(zip, 0); ++i) {
      zip_stat_t st;
      if (zip_stat_index(zip, i, 0, &st) != 0 || st.comp_method != ZIP_CM_DEFLATE) continue;
      tentry e;
      e.index = i;
      e.archive = a - 1;
      e.size = st.size;
      e.crc = st.crc;
      e.packed.resize(st.comp_size);
      zip_file_t* raw = zip_fopen_index(zip, i, ZIP_FL_COMPRESSED);
      if (!raw || zip_fread(raw, e.packed.data(), st.comp_size) != zip_int64_t(st.comp_size)) {
        std::fprintf(stderr, "cannot read entry %lld of %s\n", (long long)i, argv[a]);
        return 1;
      }
      zip_fclose(raw);
      megabytes += st.size / 1e6;
      entries.push_back(std::move(e));
    }
  }
  using clock = std::chrono::steady_clock;
  double zlibBest = 1e9, isalBest = 1e9;
  for (int round = 0; round < 3; ++round) {
    auto start = clock::now();
    for (const tentry& e : entries)
      if (!ThroughLibzip(archives[e.archive], e)) return std::fprintf(stderr, "libzip failed\n"), 1;
    zlibBest = std::min(zlibBest, std::chrono::duration<double>(clock::now() - start).count());
    start = clock::now();
    for (const tentry& e : entries)
      if (!ThroughIsal(e)) return std::fprintf(stderr, "ISA-L failed\n"), 1;
    isalBest = std::min(isalBest, std::chrono::duration<double>(clock::now() - start).count());
  }
  std::printf("inflate alone, one thread, %.0f MB: libzip (zlib) %.0f MB/s, ISA-L %.0f MB/s\n",
              megabytes, megabytes / zlibBest, megabytes / isalBest);
  for (zip_t* zip : archives) zip_discard(zip);
}
