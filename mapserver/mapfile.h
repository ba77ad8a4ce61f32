#pragma once
// The MapServer map file of a run: header, the six fixed sections, one LAYER section per layer
// created in the run (catalog order) and the closing END. With "レイヤ情報のみ" on, only the
// LAYER sections. Catalog texts are copied as the CP932 bytes they are.
#include <cstdint>
#include <string>

#include "catalog/catalog.h"

// The output path's file name with its extension replaced by ".map" (appended when it has none).
std::string OutputMapName(const std::string& outputPath);

// Where the map file goes: mapOutputFolder + "ms4w/Apache/htdocs/" + OutputMapName(outputPath).
std::string MapFilePath(const std::string& outputPath, const std::string& mapOutputFolder);

// The comment word and the TYPE word of a catalog kind. A kind outside 0-4 has no comment word
// and is drawn as a polygon, like kind 0.
std::string KindLabel(int32_t kind);
std::string LayerType(int32_t kind);

// One field of every attribute of a catalog entry, joined by commas (the query columns).
std::string JoinedAttrs(const tshpopentyp& e, std::string tshpattr::*field);

// Writes the whole map file from LayerCatalog, MapSettings and the Extent. Returns false,
// having written nothing, when the file cannot be created; raises NabikError "Cannot write
// <path>" on a write error.
bool WriteMapFile(const std::string& outputPath, const std::string& mapOutputFolder,
                  bool fontCopied, const std::string& fontAlias, bool symbolsCopied);
