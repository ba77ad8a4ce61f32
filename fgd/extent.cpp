#include "fgd/extent.h"

textent Extent;
