#pragma once
// Extraction of one archive into a folder through the lhasa reader.
#include <cstdint>
#include <string>

#include "unlha32/command.h"
#include "unlha32/lhasaapi.h"

// Extracts the entries `command` selects into its destination, creating folders and replacing
// files. Each file is written to a temporary file beside its target and renamed over it only
// after its CRC and length are checked, so a damaged entry never replaces a good file.
// Returns 0 or the first failure's result; `report` gets a summary line and one line per problem.
int32_t ExtractArchive(const tlhasaapi& api, const tunlhacommand& command, std::string& report);
