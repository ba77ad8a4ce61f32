#include "ogr/ogroutput.h"

#include <gdal_priv.h>
#include <ogr_feature.h>
#include <ogr_geometry.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include "catalog/catalog.h"
#include "common/errors.h"
#include "common/paths.h"
#include "common/text.h"
#include "crs/target.h"
#include "shpctl/shpctl.h"

namespace {

// The feature key of the formats that keep one, named apart from the data's own text column
// "fid" so that GDAL, QGIS and ogr2ogr read and re-save every layer.
constexpr const char* kKeyName = "ogc_fid";
// Features per transaction: large enough that commits cost nothing, committed at the end of an
// input file.
constexpr int64_t kFeaturesPerCommit = 100000;
// What may wait for the GDAL thread: the reader runs this far ahead of GDAL's writes, across
// the ends of input files, and no further. A run of small files queues many small blocks.
constexpr size_t kQueuedJobs = 256;
constexpr size_t kQueuedBytes = size_t{4} << 20;
constexpr size_t kSpareBlocks = 4;

size_t BlockBytes(const tfeatureblock& b) {
  return b.Features.size() * sizeof(tfeature) + b.Values.size() * sizeof(tvalue) +
         b.X.size() * 2 * sizeof(double) + b.PartStarts.size() * 2 * sizeof(int32_t) +
         b.Text.size();
}

void RegisterOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    GDALAllRegister();
    // The SQLite page cache of GeoPackage and SQLite is bounded; writes are not synced one by
    // one during the run (a file not closed is no result anyway), the journal stays on.
    CPLSetConfigOption("OGR_SQLITE_SYNCHRONOUS", "OFF");
    CPLSetConfigOption("OGR_SQLITE_CACHE", "16");
    CPLSetConfigOption("GDAL_CACHEMAX", "32");
  });
}

std::string LastGdalError() {
  const char* text = CPLGetLastErrorMsg();
  return text && *text ? text : "GDAL reported no reason";
}

GDALDriver* WritableDriver(const std::string& format) {
  RegisterOnce();
  GDALDriver* driver = GetGDALDriverManager()->GetDriverByName(format.c_str());
  if (!driver || !driver->GetMetadataItem(GDAL_DCAP_VECTOR))
    throw NabikError("The output format " + format + " is not one of GDAL's vector formats");
  if (!driver->GetMetadataItem(GDAL_DCAP_CREATE) && format != "PostgreSQL")
    throw NabikError("GDAL cannot write the output format " + format);
  return driver;
}

bool ManyLayers(GDALDriver* driver, const std::string& format) {
  if (format == "PostgreSQL" || format == "GPKG" || format == "SQLite") return true;
  // A shapefile or MapInfo "dataset" is a folder of one-layer files.
  return driver->GetMetadataItem(GDAL_DCAP_MULTIPLE_VECTOR_LAYERS) != nullptr &&
         format != "ESRI Shapefile" && format != "MapInfo File";
}

std::string Extension(GDALDriver* driver, const std::string& format) {
  if (format == "GeoJSON") return "geojson";  // its first listed extension is the vaguer .json
  const char* ext = driver->GetMetadataItem(GDAL_DMD_EXTENSION);
  if (ext && *ext) return ext;
  const char* list = driver->GetMetadataItem(GDAL_DMD_EXTENSIONS);
  const std::string first = list ? std::string(list).substr(0, std::string(list).find(' ')) : "";
  return first.empty() ? "dat" : first;
}

// The option NAME=value when the driver lists NAME among its layer creation options.
void AddLayerOption(GDALDriver* driver, CPLStringList& options, const char* name,
                    const char* value) {
  const char* list = driver->GetMetadataItem(GDAL_DS_LAYER_CREATIONOPTIONLIST);
  if (list && std::strstr(list, (std::string("name='") + name + "'").c_str()))
    options.SetNameValue(name, value);
}

// Removes a file dataset of an earlier run with the side files the format keeps beside it.
void RemoveOld(GDALDriver* driver, const std::string& path) {
  if (access(path.c_str(), F_OK) != 0) return;
  CPLPushErrorHandler(CPLQuietErrorHandler);
  const CPLErr deleted = driver->Delete(path.c_str());
  CPLPopErrorHandler();
  if (deleted != CE_None && ::unlink(path.c_str()) != 0)
    throw NabikError("Cannot replace " + path + ": " + std::strerror(errno));
  for (const char* side : {"-wal", "-shm", "-journal"}) ::unlink((path + side).c_str());
}

std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (const char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

// The schema extension's tables, where GeoPackage keeps a column's human-readable name.
constexpr const char* kDataColumnsSql[] = {
    "CREATE TABLE IF NOT EXISTS gpkg_extensions (table_name TEXT, column_name TEXT, "
    "extension_name TEXT NOT NULL, definition TEXT NOT NULL, scope TEXT NOT NULL, "
    "CONSTRAINT ge_tce UNIQUE (table_name, column_name, extension_name))",
    "CREATE TABLE gpkg_data_columns (table_name TEXT NOT NULL, column_name TEXT NOT NULL, "
    "name TEXT, title TEXT, description TEXT, mime_type TEXT, constraint_name TEXT, "
    "CONSTRAINT pk_gdc PRIMARY KEY (table_name, column_name), "
    "CONSTRAINT gdc_tn UNIQUE (table_name, name))",
    "CREATE TABLE gpkg_data_column_constraints (constraint_name TEXT NOT NULL, "
    "constraint_type TEXT NOT NULL, value TEXT, min NUMERIC, min_is_inclusive BOOLEAN, "
    "max NUMERIC, max_is_inclusive BOOLEAN, description TEXT, "
    "CONSTRAINT gdcc_ntv UNIQUE (constraint_name, constraint_type, value))",
    // The definition names the OGC standard that defines the extension (its schema annex).
    "INSERT INTO gpkg_extensions VALUES ('gpkg_data_columns', NULL, 'gpkg_schema', "
    "'http://www.opengis.net/doc/IS/geopackage/1.3', 'read-write')",
    "INSERT INTO gpkg_extensions VALUES ('gpkg_data_column_constraints', NULL, 'gpkg_schema', "
    "'http://www.opengis.net/doc/IS/geopackage/1.3', 'read-write')",
};

}  // namespace

// One catalog layer in a GDAL dataset. Made on the reader's thread; its table is created and
// written on the writer's.
class togrlayer final : public toutputlayer {
 public:
  togrlayer(togroutput& out, int32_t entry) : out_(out), e_(CatalogEntry(entry)) {}
  ~togrlayer() override {
    if (own_) GDALClose(own_);
  }

  ttextform TextForm() const override { return ttextform::Utf8; }
  void Begin(const std::string& source) override { source_ = source; }
  // Queues the block for the output's GDAL thread.
  void Write(const tfeatureblock& block) override { out_.Queue(this, block, source_); }
  // Writes a block of the file `source`, on the output's GDAL thread.
  void WriteNow(const tfeatureblock& block, const std::string& source);

  // Closes a one-layer format's file (building its index); raises on failure.
  void Close();
  const std::string& Name() const { return e_.Name; }
  bool Dirty() const { return dirty_; }
  void Committed() { dirty_ = false; }
  OGRLayer* Layer() const { return layer_; }

 private:
  void Create(tdatum datum);
  [[noreturn]] void Fail(const std::string& what) const {
    throw NabikError("Layer " + e_.Name + " (" + writing_ + "): " + what);
  }
  OGRGeometry* Geometry(const tfeatureblock& block, const tfeature& f) const;
  void NameColumns();

  togroutput& out_;
  const tshpopentyp& e_;
  std::string source_;          // the file being read, on the reader's thread
  std::string writing_;         // the file whose features are being written, on the GDAL thread
  GDALDataset* own_ = nullptr;  // a one-layer format's file
  OGRLayer* layer_ = nullptr;
  std::vector<int> fields_;  // field index of column k at k - 1
  std::unique_ptr<OGRFeature> feature_;
  bool dirty_ = false;  // holds features not yet committed
};

void togrlayer::Create(tdatum datum) {
  GDALDriver* driver = out_.Driver();
  GDALDataset* ds = out_.Dataset();
  if (!ds) {
    const std::string path = OgrLayerFileName(out_.Format(), out_.OutputFolder(), e_.Name);
    RemoveOld(driver, path);
    own_ = driver->Create(path.c_str(), 0, 0, 0, GDT_Unknown, nullptr);
    if (!own_) Fail("cannot create " + path + ": " + LastGdalError());
    ds = own_;
  }
  OGRSpatialReference srs;
  if (out_.targetSrs_.empty())
    srs.importFromEPSG(DatumEpsg(datum));
  else if (srs.SetFromUserInput(out_.targetSrs_.c_str()) != OGRERR_NONE)
    Fail("GDAL does not read the CRS " + out_.targetSrs_);
  srs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
  CPLStringList options;
  AddLayerOption(driver, options, "FID", kKeyName);
  AddLayerOption(driver, options, "OVERWRITE", "YES");
  AddLayerOption(driver, options, "ENCODING", "UTF-8");  // a shapefile through GDAL
  AddLayerOption(driver, options, "DESCRIPTION", Cp932ToUtf8(e_.Title).c_str());
  // The catalog's element names as they are ("BldA", "lfSpanFr"), not lower-cased.
  AddLayerOption(driver, options, "LAUNDER", "NO");
  AddLayerOption(driver, options, "GEOMETRY_NAME", "geom");
  if (out_.postgres_) AddLayerOption(driver, options, "SPATIAL_INDEX", "NONE");
  const OGRwkbGeometryType type = e_.Kind == 2   ? wkbMultiPolygon
                                  : e_.Kind == 3 ? wkbPoint
                                                 : wkbMultiLineString;
  // A table of the same name from an earlier run is replaced.
  for (int i = 0; i < ds->GetLayerCount(); ++i)
    if (EQUAL(ds->GetLayer(i)->GetName(), e_.Name.c_str()) && !out_.postgres_) {
      if (ds->DeleteLayer(i) != OGRERR_NONE) Fail("cannot replace its table: " + LastGdalError());
      break;
    }
  layer_ = ds->CreateLayer(e_.Name.c_str(), &srs, type, options.List());
  if (!layer_) Fail("cannot create its table: " + LastGdalError());
  for (const tshpattr& a : e_.Attrs) {
    OGRFieldDefn field(a.Name.c_str(), a.Type == 1   ? OFTInteger
                                       : a.Type == 2 ? OFTReal
                                                     : OFTString);
    if (!a.Header.empty()) field.SetAlternativeName(Cp932ToUtf8(a.Header).c_str());
    if (layer_->CreateField(&field) != OGRERR_NONE)
      Fail("cannot add the column " + a.Name + ": " + LastGdalError());
  }
  if (out_.Format() == "GPKG") NameColumns();
  OGRFeatureDefn* defn = layer_->GetLayerDefn();
  for (const tshpattr& a : e_.Attrs) fields_.push_back(defn->GetFieldIndex(a.Name.c_str()));
  feature_.reset(new OGRFeature(defn));
  if (own_ && own_->TestCapability(ODsCTransactions)) own_->StartTransaction();
}

// The catalog's Japanese headers as the columns' names in gpkg_data_columns; a header that
// repeats within the layer is given once (the table wants them unique).
void togrlayer::NameColumns() {
  GDALDataset* ds = out_.Dataset();
  auto run = [&](const std::string& sql) {
    CPLErrorReset();
    ds->ExecuteSQL(sql.c_str(), nullptr, nullptr);
    if (CPLGetLastErrorType() >= CE_Failure)
      Fail("cannot name its columns in gpkg_data_columns: " + LastGdalError());
  };
  if (!out_.dataColumns_) {
    for (const char* sql : kDataColumnsSql) run(sql);
    out_.dataColumns_ = true;
  }
  std::vector<std::string> given;
  for (const tshpattr& a : e_.Attrs) {
    const std::string header = Cp932ToUtf8(a.Header);
    if (header.empty() || std::find(given.begin(), given.end(), header) != given.end()) continue;
    given.push_back(header);
    run("INSERT INTO gpkg_data_columns (table_name, column_name, name, title) VALUES (" +
        Quoted(e_.Name) + ", " + Quoted(a.Name) + ", " + Quoted(header) + ", " + Quoted(header) +
        ")");
  }
}

// The shapefile's parts as OGR geometry: each outer ring (the first, and every one marked
// outer) begins a polygon whose holes follow it; a line is one line string, a point its first
// vertex.
OGRGeometry* togrlayer::Geometry(const tfeatureblock& block, const tfeature& f) const {
  const double* x = block.X.data() + f.VerticesAt;
  const double* y = block.Y.data() + f.VerticesAt;
  const int n = static_cast<int>(f.Vertices);
  if (e_.Kind == 3) return new OGRPoint(x[0], y[0]);
  const int32_t* starts = block.PartStarts.data() + f.PartsAt;
  const int32_t* roles = block.PartTypes.data() + f.PartsAt;
  const int parts = f.Parts == 0 ? 1 : static_cast<int>(f.Parts);
  auto part = [&](int p, auto& into) {
    const int from = f.Parts == 0 ? 0 : starts[p];
    const int to = p + 1 < parts ? starts[p + 1] : n;
    into.setPoints(to - from, x + from, y + from);
  };
  if (e_.Kind != 2) {
    auto* lines = new OGRMultiLineString;
    for (int p = 0; p < parts; ++p) {
      auto* line = new OGRLineString;
      part(p, *line);
      lines->addGeometryDirectly(line);
    }
    return lines;
  }
  auto* polygons = new OGRMultiPolygon;
  OGRPolygon* polygon = nullptr;
  for (int p = 0; p < parts; ++p) {
    auto* ring = new OGRLinearRing;
    part(p, *ring);
    if (!polygon || f.Parts == 0 || roles[p] != kInnerRing) {
      polygon = new OGRPolygon;
      polygons->addGeometryDirectly(polygon);
    }
    polygon->addRingDirectly(ring);
  }
  return polygons;
}

void togrlayer::WriteNow(const tfeatureblock& block, const std::string& source) {
  if (block.Features.empty()) return;  // values before a file's first feature belong to none
  if (writing_ != source) writing_ = source;
  if (!layer_) Create(block.Datum);
  dirty_ = true;
  OGRFeature& feature = *feature_;
  for (size_t i = 0; i < block.Features.size(); ++i) {
    const tfeature& f = block.Features[i];
    feature.SetFID(OGRNullFID);
    for (int field = 0; field < feature.GetFieldCount(); ++field) feature.SetFieldNull(field);
    const uint32_t end = block.ValuesEnd(i);
    for (uint32_t v = f.ValuesAt; v < end; ++v) {
      const tvalue& value = block.Values[v];
      const int field = fields_[value.Column - 1];
      switch (e_.Attr(value.Column).Type) {
        case 0:
          feature.SetField(field, block.TextOf(value));
          break;
        case 1:
          feature.SetField(field, value.Integer);
          break;
        case 2:
          feature.SetField(field, value.Real);
          break;
        default:
          break;
      }
    }
    feature.SetGeometryDirectly(f.End == tfeatureend::Shape && f.Vertices > 0 ? Geometry(block, f)
                                                                              : nullptr);
    if (layer_->CreateFeature(&feature) != OGRERR_NONE) Fail(LastGdalError());
  }
  out_.uncommitted_ += static_cast<int64_t>(block.Features.size());
}

void togrlayer::Close() {
  if (!own_) return;
  if (own_->TestCapability(ODsCTransactions) && own_->CommitTransaction() != OGRERR_NONE)
    Fail("cannot commit: " + LastGdalError());
  CPLErrorReset();
  GDALClose(std::exchange(own_, nullptr));
  layer_ = nullptr;
  if (CPLGetLastErrorType() >= CE_Failure) Fail("cannot finish the file: " + LastGdalError());
  dirty_ = false;
}

bool IsShapefileFormat(const std::string& format) {
  return format.empty() || EQUAL(format.c_str(), "shp");
}

std::string OgrDatasetName(const std::string& format, const std::string& outputPath,
                           const std::string& dataset) {
  GDALDriver* driver = WritableDriver(format);
  if (format == "PostgreSQL") {
    if (dataset.empty())
      throw NabikError("The output format PostgreSQL needs --dataset \"PG:dbname=...\"");
    return dataset;
  }
  if (!ManyLayers(driver, format)) return {};
  if (!dataset.empty()) return dataset;
  const std::string name = FileNamePart(outputPath);
  const std::string ext = FileExtPart(name);
  return FolderPart(outputPath) + name.substr(0, name.size() - ext.size()) + "." +
         Extension(driver, format);
}

std::string OgrLayerFileName(const std::string& format, const std::string& outputFolder,
                             const std::string& layerName) {
  GDALDriver* driver = WritableDriver(format);
  if (ManyLayers(driver, format)) return {};
  return outputFolder + layerName + "." + Extension(driver, format);
}

togroutput::togroutput(const std::string& format, const std::string& outputPath,
                       const std::string& dataset, const crs::ttargetcrs* target)
    : format_(format),
      folder_(FolderPart(outputPath)),
      datasetName_(OgrDatasetName(format, outputPath, dataset)),
      targetSrs_(target ? target->GdalSrs() : std::string()),
      driver_(WritableDriver(format)),
      postgres_(format == "PostgreSQL") {
  layers_.resize(LayerCatalog.size());
  // GDAL's own error lines stay off the terminal: every failure reaches the user through the
  // run's message, which names the layer.
  previousHandler_ = CPLSetErrorHandler(CPLQuietErrorHandler);
  try {
    Open();
  } catch (...) {
    CPLSetErrorHandler(previousHandler_);
    throw;
  }
}

void togroutput::Open() {
  if (datasetName_.empty()) return;
  CPLErrorReset();
  if (postgres_) {
    dataset_ = GDALDataset::Open(datasetName_.c_str(), GDAL_OF_VECTOR | GDAL_OF_UPDATE,
                                 std::vector<const char*>{"PostgreSQL", nullptr}.data());
  } else {
    RemoveOld(driver_, datasetName_);
    dataset_ = driver_->Create(datasetName_.c_str(), 0, 0, 0, GDT_Unknown, nullptr);
  }
  if (!dataset_)
    throw NabikError("Cannot " + std::string(postgres_ ? "open" : "create") + " the dataset " +
                     datasetName_ + ": " + LastGdalError());
  StartTransaction();
}

togroutput::~togroutput() {
  StopWorker();
  if (dataset_ && inTransaction_) dataset_->RollbackTransaction();
  layers_.clear();  // closes the one-layer files
  if (dataset_) GDALClose(dataset_);
  CPLSetErrorHandler(previousHandler_);
}

void togroutput::StartTransaction() {
  inTransaction_ = dataset_->StartTransaction(FALSE) == OGRERR_NONE;
}

void togroutput::Commit() {
  if (dataset_ && inTransaction_) {
    inTransaction_ = false;
    if (dataset_->CommitTransaction() != OGRERR_NONE)
      throw NabikError("Cannot commit to " + datasetName_ + ": " + LastGdalError());
  }
  const std::lock_guard<std::mutex> hold(lock_);
  for (auto& layer : layers_)
    if (layer && dataset_) layer->Committed();
  uncommitted_ = 0;
}

toutputlayer& togroutput::Layer(int32_t entry) {
  const std::lock_guard<std::mutex> hold(lock_);  // the GDAL thread's commits walk the layers
  if (entry > static_cast<int32_t>(layers_.size())) layers_.resize(entry);
  std::unique_ptr<togrlayer>& layer = layers_[entry - 1];
  if (!layer) layer = std::make_unique<togrlayer>(*this, entry);
  return *layer;
}

void togroutput::FileDone() {
  // Decided on the GDAL thread, in turn with the blocks before it.
  if (dataset_) Queue(nullptr, tfeatureblock(), {});
}

void togroutput::Queue(togrlayer* layer, const tfeatureblock& block, const std::string& source) {
  std::unique_lock<std::mutex> hold(lock_);
  if (!worker_.joinable()) worker_ = std::thread(&togroutput::Loop, this);
  changed_.wait(hold, [&] {
    return (jobs_.size() < kQueuedJobs && queuedBytes_ < kQueuedBytes) || failure_;
  });
  if (failure_) std::rethrow_exception(failure_);
  tjob& job = jobs_.emplace_back();
  if (!spare_.empty()) {
    job.Block = std::move(spare_.back());  // its vectors keep their room
    spare_.pop_back();
  }
  job.Layer = layer;
  job.Block = block;
  job.Source = source;
  queuedBytes_ += BlockBytes(block);
  hold.unlock();
  changed_.notify_all();
}

void togroutput::Loop() {
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    changed_.wait(hold, [&] { return !jobs_.empty() || stop_; });
    if (jobs_.empty()) return;
    tjob& job = jobs_.front();
    busy_ = true;
    hold.unlock();
    if (!failure_) {
      try {
        if (job.Layer) {
          job.Layer->WriteNow(job.Block, job.Source);
        } else if (uncommitted_ >= kFeaturesPerCommit) {
          Commit();
          StartTransaction();
        }
      } catch (...) {
        // Raised to the reader at its next block, and by Drain; later blocks are dropped.
        hold.lock();
        failure_ = std::current_exception();
        hold.unlock();
      }
    }
    hold.lock();
    busy_ = false;
    queuedBytes_ -= BlockBytes(job.Block);
    job.Block.Clear();
    if (spare_.size() < kSpareBlocks) spare_.push_back(std::move(job.Block));
    jobs_.pop_front();
    changed_.notify_all();
  }
}

void togroutput::Drain() {
  std::unique_lock<std::mutex> hold(lock_);
  changed_.wait(hold, [&] { return jobs_.empty() && !busy_; });
  if (failure_) std::rethrow_exception(failure_);
}

void togroutput::StopWorker() {
  {
    std::unique_lock<std::mutex> hold(lock_);
    if (!worker_.joinable()) return;
    stop_ = true;
  }
  changed_.notify_all();
  worker_.join();
}

void togroutput::Close() {
  Drain();
  StopWorker();
  Commit();
  for (auto& layer : layers_)
    if (layer) layer->Close();
  if (postgres_) {
    // The index is built once over the whole table, not row by row during the load.
    for (auto& layer : layers_) {
      if (!layer || !layer->Layer()) continue;
      const std::string name = layer->Layer()->GetName();
      const std::string sql = "CREATE INDEX ON \"" + name + "\" USING GIST (\"" +
                              layer->Layer()->GetGeometryColumn() + "\")";
      CPLErrorReset();
      dataset_->ExecuteSQL(sql.c_str(), nullptr, nullptr);
      if (CPLGetLastErrorType() >= CE_Failure)
        throw NabikError("Layer " + name + ": cannot build its spatial index: " + LastGdalError());
    }
  }
  if (dataset_) {
    CPLErrorReset();
    // The spatial indexes GDAL builds at the end go in one transaction too: outside one, SQLite
    // commits (and writes its journal) for every batch of the R-tree.
    if (!postgres_) {
      StartTransaction();
      dataset_->FlushCache();
      Commit();
    }
    GDALClose(std::exchange(dataset_, nullptr));
    if (CPLGetLastErrorType() >= CE_Failure)
      throw NabikError("Cannot finish " + datasetName_ + ": " + LastGdalError());
  }
}

std::string togroutput::Failed(const std::string& what) {
  StopWorker();  // what it still holds is written or dropped, then the dataset is this thread's
  if (dataset_ && inTransaction_) {
    dataset_->RollbackTransaction();
    inTransaction_ = false;
  }
  std::string complete, incomplete;
  for (auto& layer : layers_) {
    if (!layer || !layer->Layer()) continue;
    std::string& list = layer->Dirty() || !dataset_ ? incomplete : complete;
    list += (list.empty() ? "" : ", ") + layer->Name();
  }
  std::string text = what;
  if (!complete.empty()) text += "\nComplete layers: " + complete;
  if (!incomplete.empty())
    text +=
        "\nIncomplete layers" + std::string(dataset_ ? " (rolled back)" : "") + ": " + incomplete;
  return text;
}
