#pragma once
// The batch mode: a whole run from the command line, without a window.
//   nabik [--catalog FILE] [--settings FILE] [--quiet] -o OUTPUT INPUT...
//   nabik --help | --version
// Exit status: 0 when the run ended with its closing message, 1 when it ended on an error (an
// output folder locked by another run among them), 2 for a usage error (an input that is missing
// or no regular file, an output that is a folder, an input, an archive or XML file among them) or
// a catalog that could not be loaded, 130 when SIGINT or SIGTERM stopped the run.

#include <string>

// Loads the layer catalog for a run without a window; false, with the reason on standard error,
// when it cannot be read or has a malformed line.
bool LoadBatchCatalog(const std::string& catalog);

// Runs the batch mode for the program's arguments (argv[0] is the program).
int RunBatch(int argc, char** argv);

// The usage text.
const char* BatchUsage();
