#pragma once
// The run-wide bounding box of every coordinate read (X longitude, Y latitude, in degrees).
// The feature reader widens it (by way of ReadingExtent); the map file writes it.
struct textent {
  double MinX = 2147483647.0;
  double MinY = 2147483647.0;
  double MaxX = -2147483647.0;
  double MaxY = -2147483647.0;
};

extern textent Extent;

// Puts the Extent back to its start values (both minima +2147483647, both maxima -2147483647).
inline void ResetExtent() {
  Extent = textent{};
}

// Where the feature reader of this thread widens the box of every file it reads: the Extent, or
// the box of a file read ahead on a thread of its own, taken into the Extent at the file's turn.
// Functions, not a thread_local pointer declared here: written through GCC's wrapper for such a
// variable from another file, UBSan reported a store to a null pointer.
textent& ReadingExtent();
void SetReadingExtent(textent* box);  // null: the Extent again

inline void WidenExtent(textent& into, const textent& box) {
  if (box.MaxX > into.MaxX) into.MaxX = box.MaxX;
  if (box.MaxY > into.MaxY) into.MaxY = box.MaxY;
  if (box.MinX < into.MinX) into.MinX = box.MinX;
  if (box.MinY < into.MinY) into.MinY = box.MinY;
}
