#include "fgd/extent.h"

textent Extent;
namespace {
thread_local textent* readingExtent = nullptr;  // null: the Extent
}  // namespace

textent& ReadingExtent() {
  return readingExtent ? *readingExtent : Extent;
}

void SetReadingExtent(textent* box) {
  readingExtent = box;
}
