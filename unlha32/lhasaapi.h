#pragma once
// The lhasa functions the extraction calls, looked up in the library loaded at run time.
// Only lhasa's headers are used at build time; nothing links against the library.
#include <lhasa.h>

struct tlhasaapi {
  decltype(&lha_input_stream_new) InputStreamNew = nullptr;
  decltype(&lha_input_stream_free) InputStreamFree = nullptr;
  decltype(&lha_reader_new) ReaderNew = nullptr;
  decltype(&lha_reader_free) ReaderFree = nullptr;
  decltype(&lha_reader_set_dir_policy) ReaderSetDirPolicy = nullptr;
  decltype(&lha_reader_next_file) ReaderNextFile = nullptr;
  decltype(&lha_reader_read) ReaderRead = nullptr;
};
