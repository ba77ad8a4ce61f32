#include "unlha32/unlha32.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <iostream>

#include "unlha32/command.h"
#include "unlha32/extract.h"
#include "unlha32/lhasaapi.h"

namespace {

void PrintMessage(void*, const std::string& caption, const std::string& text) {
  std::cerr << caption << ": " << text << std::endl;
}

// The loaded library; `Library` is null while the fallback stands in.
struct tunlhabinding {
  void* Library = nullptr;
  tlhasaapi Api;
};
tunlhabinding Binding;

template <typename Function>
bool Resolve(void* library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(dlsym(library, name));
  return function != nullptr;
}

bool ResolveAll(void* library, tlhasaapi& api) {
  return Resolve(library, "lha_input_stream_new", api.InputStreamNew) &&
         Resolve(library, "lha_input_stream_free", api.InputStreamFree) &&
         Resolve(library, "lha_reader_new", api.ReaderNew) &&
         Resolve(library, "lha_reader_free", api.ReaderFree) &&
         Resolve(library, "lha_reader_set_dir_policy", api.ReaderSetDirPolicy) &&
         Resolve(library, "lha_reader_next_file", api.ReaderNextFile) &&
         Resolve(library, "lha_reader_read", api.ReaderRead);
}

int32_t UnlhaFallback() {
  if (UnlhaMessageHook) UnlhaMessageHook(nullptr, "PANIC!!", "Unlha: LHA.DLL not loaded.");
  return 0;
}

// Copies as much of `text` as fits into `size` bytes with its terminating NUL.
void PutOutput(const std::string& text, char* output, int32_t size) {
  if (!output || size <= 0) return;
  const size_t count = std::min(text.size(), static_cast<size_t>(size) - 1);
  std::memcpy(output, text.data(), count);
  output[count] = '\0';
}

}  // namespace

tmessagehook UnlhaMessageHook = PrintMessage;

bool StartUnlha(const std::string& libraryName) {
  StopUnlha();
  void* library = dlopen(libraryName.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) return false;
  tlhasaapi api;
  if (!ResolveAll(library, api)) {
    dlclose(library);
    return false;
  }
  Binding.Library = library;
  Binding.Api = api;
  return true;
}

void StopUnlha() {
  if (Binding.Library) dlclose(Binding.Library);
  Binding = tunlhabinding{};
}

int32_t Unlha(void* /*window: the extraction shows nothing of its own*/, const std::string& command,
              char* output, int32_t size) {
  if (!Binding.Library) return UnlhaFallback();
  std::string report;
  int32_t result;
  try {
    const std::optional<tunlhacommand> parsed = ParseUnlhaCommand(command);
    if (parsed) {
      result = ExtractArchive(Binding.Api, *parsed, report);
    } else {
      result = UnlhaBadCommand;
      report = "Unsupported command line:" + command + "\n";
    }
  } catch (const std::exception& error) {
    // A library entry point reports failures by its result, never by throwing.
    result = UnlhaWriteError;
    report = std::string("Extraction stopped: ") + error.what() + "\n";
  }
  PutOutput(report, output, size);
  return result;
}
