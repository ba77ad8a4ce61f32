#include "output/feature.h"

void tfeatureblock::Clear() {
  LeadingValues = 0;
  Features.clear();
  Values.clear();
  X.clear();
  Y.clear();
  PartStarts.clear();
  PartTypes.clear();
  Text.clear();
}
