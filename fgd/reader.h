#pragma once
// The feature reader: turns one FGD file into shapes and records of one layer, appended to the
// open layer set, and widens the run-wide Extent with every coordinate read.
#include <cstdint>
#include <string>
#include <vector>

#include "catalog/catalog.h"
#include "output/outputlayer.h"

// Working buffers of the current feature, one set per thread (files are read on several at
// once), shared by every file and layer the thread reads. They start at 10000 vertices and 400
// parts and grow for a larger feature. X is the longitude (the second number of a tuple), Y the
// latitude; Z and M stay 0.
extern thread_local std::vector<double> BufX, BufY, BufZ, BufM;
extern thread_local std::vector<int32_t> PartStarts, PartTypes;  // 5 first ring, 2 outer, 3 inner
extern thread_local int32_t VertexCount, PartCount;

// Sizes the working buffers of this thread (allocated once, keeping their content) and resets
// the Extent. Called at the start of every run.
void PrepareFeatureReader();

// Reads the FGD file at `filePath` and appends every feature of the layer of catalog entry
// `entry` to the open set (OpenLayerFiles must have opened that layer's set). Shape i always
// belongs to record i: a feature whose end never comes is completed with a null shape.
// Raises NabikError naming the file when it cannot be opened or read, and
// "<path>: '<text>' is not a valid floating point value" for a number that does not convert;
// the set stays consistent and open either way. Gives the datum of the file's first "fguuid:"
// declaration (None when it has none or one of another coordinate system).
tdatum ReadFeatures(const std::string& filePath, int32_t entry);

// The same into any output layer: its features, finished, go to `output` in blocks (the text
// values in the layer's text form). ReadFeatures above writes into the open set this way. The
// coordinates widen ReadingExtent(), the run-wide Extent unless this thread reads ahead.
tdatum ReadFeatures(const std::string& filePath, int32_t entry, toutputlayer& output);
