#pragma once
// The run-wide bounding box of every coordinate read (X longitude, Y latitude, in degrees).
// The feature reader widens it; the map file writes it.
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
