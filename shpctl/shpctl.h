#pragma once
// The layer shapefile store: one shapefile set (.shp .shx .dbf .prj .cpg) per catalog layer,
// and the one set that is open at a time.
#include <shapefil.h>

#include <cstdint>
#include <memory>
#include <string>

#include "catalog/catalog.h"

// Holders of shapelib handles: the file is closed on every way out.
struct ShpCloser {
  void operator()(SHPInfo* h) const { SHPClose(h); }
};
struct DbfCloser {
  void operator()(DBFInfo* h) const { DBFClose(h); }
};
using ShpPtr = std::unique_ptr<SHPInfo, ShpCloser>;
using DbfPtr = std::unique_ptr<DBFInfo, DbfCloser>;

// The set that is open for appending, written through by the feature reader.
struct tlayerset {
  SHPHandle ShpHandle = nullptr;
  DBFHandle DbfHandle = nullptr;
  int32_t RecordIndex = -1;  // index of the table's last record
  int32_t ShapeType = 0;     // the shape file's type
};
extern tlayerset OpenSet;

// The geographic coordinate system of JGD2000 in degrees, written into every new .prj file and
// kept for data that declares JGD2000 or no datum.
extern const char* const kProjectionText;
// The same for JGD2011 (EPSG:6668), for data that declares JGD2011 or JGD2024.
extern const char* const kJgd2011ProjectionText;

// The .prj line (without its line end) of data declaring `datum`. JGD2024 data has the
// latitudes and longitudes of JGD2011, so both share its text.
const char* ProjectionText(tdatum datum);
// Its EPSG code: 6668 (JGD2011, JGD2024) or 4612 (JGD2000, no declaration).
int32_t DatumEpsg(tdatum datum);
// Its name as the files declare it ("jgd2011"), "no datum" for None.
const char* DatumName(tdatum datum);

// Rewrites the .prj of the set `outputFolder` + Name for the entry's Datum. Raises NabikError
// "Cannot create <file>" when it cannot be written.
void WriteLayerProjection(const std::string& outputFolder, int32_t entry);
// The same with the line `prjLine` (a target CRS's ESRI WKT, without line end).
void WriteLayerProjection(const std::string& outputFolder, int32_t entry,
                          const std::string& prjLine);

// Shapefile type of a catalog kind (3 arc, 5 polygon, 1 point); 0 for an unknown kind.
int32_t ShapeTypeOfKind(int32_t kind);

// Creates the layer's set empty at `outputFolder` + Name (replacing an older one) and closes it.
// A layer without attribute columns gets one integer field FID, which the reader fills with
// the record number (from 0), so that its table has a record for every shape.
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

// The first write to the open set that the system refused since it was created or opened, as
// " into <file>: <reason>"; empty when none was.
std::string RefusedWriteText();
