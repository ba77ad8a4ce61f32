#pragma once
// The files of a layer set as they were when it was opened for appending: their sizes and their
// headers. Putting them back undoes every append since, so a set whose writes failed part way
// (a full disk) keeps its earlier shapes and records, as many of each.
#include <string>
#include <vector>

struct tsetsnapshot {
  struct tpart {
    std::string Path;
    long long Size = 0;
    std::string Head;  // the header bytes, rewritten on every close
  };
  std::vector<tpart> Parts;
};

// The .shp, .shx and .dbf of the set `base`. Files that cannot be read are left out.
tsetsnapshot TakeSetSnapshot(const std::string& base);

// Cuts each file back to its size and rewrites its header. False when a file could not be
// restored.
bool RestoreSetSnapshot(const tsetsnapshot& snapshot);
