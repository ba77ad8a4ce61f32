#include "fgd/extent.h"

textent Extent;
thread_local textent* ReadingExtent = &Extent;
