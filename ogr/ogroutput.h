#pragma once
// A run's output in any GDAL vector format. A format that holds many layers (GeoPackage,
// SQLite, PostgreSQL) gets one dataset per run with one table per catalog layer; any other
// format one file per layer in the output folder, named like the sets (BldA.fgb). Text is
// UTF-8, columns keep the catalog's element names in full and its types, the datum's EPSG code
// gives the SRS (x the longitude).
#include <cpl_error.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "output/outputlayer.h"

namespace crs {
class ttargetcrs;
}
class GDALDataset;
class GDALDriver;
class togrlayer;

// The name under which the designed shapefiles are chosen ("shp"; an empty name does the same).
bool IsShapefileFormat(const std::string& format);

// The name of the run's dataset: the connection string, or the file of a many-layer format in
// `outputFolder` named after the run list (list.txt -> list.gpkg); empty for a one-layer format.
// Raises NabikError for a name GDAL does not know or cannot write.
std::string OgrDatasetName(const std::string& format, const std::string& outputPath,
                           const std::string& dataset);

// The file of one layer of a one-layer format ("<folder>BldA.fgb"); empty for the others.
std::string OgrLayerFileName(const std::string& format, const std::string& outputFolder,
                             const std::string& layerName);

class togroutput {
 public:
  // `format`: GDAL's short driver name ("GPKG", "FlatGeobuf", "PostgreSQL", ...); `outputPath`:
  // the run list's path; `dataset`: a connection string ("PG:dbname=..."), needed by a format
  // without files. The run's dataset is created (an older one replaced) or opened now: raises
  // NabikError naming it and the reason when that fails. `target`: the CRS the features come in
  // (the layers' SRS); null: the datum each layer's first file declares.
  togroutput(const std::string& format, const std::string& outputPath, const std::string& dataset,
             const crs::ttargetcrs* target = nullptr);
  ~togroutput();  // what is not committed is rolled back; the datasets stay valid
  togroutput(const togroutput&) = delete;
  togroutput& operator=(const togroutput&) = delete;

  // The layer of catalog entry `entry`; its table is created (a table of the same name
  // replaced) with its first features.
  toutputlayer& Layer(int32_t entry);
  // One input file was read into the layer: large transactions are committed at such points.
  // Its blocks may still be waiting for GDAL: a failure to write them is raised by a later call.
  void FileDone();
  // Commits, builds the spatial indexes and closes every dataset. Raises NabikError naming the
  // layer and the reason when a write fails.
  void Close();
  // A failure `what` that ended the run, with the layers that hold everything read before it
  // and those that do not; rolls back what is not committed.
  std::string Failed(const std::string& what);

  GDALDataset* Dataset() const { return dataset_; }
  GDALDriver* Driver() const { return driver_; }
  const std::string& Format() const { return format_; }
  const std::string& OutputFolder() const { return folder_; }
  const std::string& DatasetName() const { return datasetName_; }

 private:
  friend class togrlayer;
  // Every GDAL write happens on one thread of the output's, in the order the blocks came: the
  // reader goes on with the next file while GDAL writes the last one.
  struct tjob {
    togrlayer* Layer = nullptr;  // null: a point where a large transaction may be committed
    tfeatureblock Block;
    std::string Source;
  };
  void Queue(togrlayer* layer, const tfeatureblock& block, const std::string& source);
  void Loop();
  void Drain();  // waits for the queue; raises the GDAL thread's failure
  void StopWorker();
  void Commit();
  void StartTransaction();
  void Open();

  std::string format_, folder_, datasetName_;
  std::string targetSrs_;  // GDAL's SRS text of the target CRS; empty: the declared datum
  GDALDriver* driver_ = nullptr;
  GDALDataset* dataset_ = nullptr;  // the many-layer dataset; null for one-layer formats
  bool inTransaction_ = false;
  bool dataColumns_ = false;  // the GeoPackage's gpkg_data_columns exists
  bool postgres_ = false;
  int64_t uncommitted_ = 0;                         // features since the last commit
  std::vector<std::unique_ptr<togrlayer>> layers_;  // by catalog entry - 1, made when used
  CPLErrorHandler previousHandler_ = nullptr;
  std::deque<tjob> jobs_;
  std::vector<tfeatureblock> spare_;
  std::exception_ptr failure_;
  std::thread worker_;
  std::mutex lock_;
  std::condition_variable changed_;
  size_t queuedBytes_ = 0;
  bool busy_ = false, stop_ = false;
};
