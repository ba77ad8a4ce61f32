#pragma once
// The layer shapefile store: one shapefile set (.shp .shx .dbf .prj .cpg) per catalog layer,
// and the one set that is open at a time.
#include <shapefil.h>

#include <cstdint>
#include <string>

#include "catalog/catalog.h"

// The set that is open for appending, written through by the feature reader.
struct tlayerset {
  SHPHandle ShpHandle = nullptr;
  DBFHandle DbfHandle = nullptr;
  int32_t RecordIndex = -1;  // index of the table's last record
  int32_t ShapeType = 0;     // the shape file's type
};
extern tlayerset OpenSet;

// The geographic coordinate system of JGD2000 in degrees, written into every .prj file.
extern const char* const kProjectionText;

// Shapefile type of a catalog kind (3 arc, 5 polygon, 1 point); 0 for an unknown kind.
int32_t ShapeTypeOfKind(int32_t kind);

// Creates the layer's set empty at `outputFolder` + Name (replacing an older one) and closes it.
// Raises NabikError naming the file when a file cannot be created, and naming the layer when
// the entry has a kind outside 1-4 or an attribute type outside 0-2 (nothing is created then).
void CreateLayerFiles(const std::string& outputFolder, int32_t entry);

// Opens the set `outputFolder` + `name` for appending. Raises NabikError naming the file when
// the shape file or the table cannot be opened; nothing stays open then.
void OpenLayerFiles(const std::string& outputFolder, const std::string& name);

// Closes the open set, if any (safe to call twice). When a write to it failed since it was
// opened, its files are put back as they were then: the earlier shapes and records stay, as
// many of each.
void CloseLayerFiles();

// Closes the open set like CloseLayerFiles and raises NabikError "Cannot write <file>: <reason>"
// when a write to it failed (a full disk, a file-size limit). CreateLayerFiles raises the same
// when the empty set could not be written, and leaves none of its files behind.
void FinishLayerFiles();
