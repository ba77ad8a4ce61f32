// The LHA binding over archive bytes: whatever the archive holds, `Unlha` returns, writes
// nothing outside its destination folder and leaves its message text terminated.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "unlha32/unlha32.h"

using namespace fuzz_support;

namespace {

void QuietMessage(void*, const std::string&, const std::string&) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool started = [] {
    UnlhaMessageHook = QuietMessage;
    return StartUnlha();
  }();
  Require(started, "the LHA library does not load");

  const std::string archive = ScratchFolder() + "input.lzh";
  const std::string parent = ScratchFolder() + "parent/";
  const std::string destination = parent + "out/";
  WriteBytes(archive, data, size);
  EmptyFolder(parent);
  EmptyFolder(destination);

  constexpr int32_t kMessageSize = 600;
  std::vector<char> messages(kMessageSize + 16, '\x7f');
  const std::string command = "e -x1 " + archive + " " + destination + " *.* -p2 -y1";
  Unlha(nullptr, command, messages.data(), kMessageSize);
  Require(std::memchr(messages.data(), '\0', kMessageSize) != nullptr,
          "the message text is not terminated within its size");
  for (size_t i = kMessageSize; i < messages.size(); ++i)
    Require(messages[i] == '\x7f', "the message text ran past its size");
  Require(ListTree(parent).size() == 1 + ListTree(destination).size(),
          "an entry was written outside the destination");
  return 0;
}
