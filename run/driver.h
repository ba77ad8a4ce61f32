#pragma once
// The conversion run: every checked input file into the layers of the catalog, then the
// ConversionList and the MapServer export. The same driver serves the window and the batch mode
// through the front-end record below.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "run/progress.h"

// What the driver needs of its front end. Texts are CP932 bytes (file names as the file system
// has them). Every member must be set, except those marked optional.
struct tfrontend {
  std::function<int()> InputCount;                      // lines of the input list
  std::function<std::string(int)> InputText;            // line i (from 0): a file path
  std::function<bool(int)> InputChecked;                // its check mark
  std::function<void(int)> UncheckInput;                // clears the check mark
  std::function<std::string()> OutputPathText;          // the output-path text, read when needed
  std::function<void(const std::string&)> SetStatus;    // the one text of the status line
  std::function<void(const std::string&)> ShowMessage;  // a message the user must see
  std::function<void()> ProcessMessages;                // lets the window repaint and react
  std::function<void(bool)> SetExecuteEnabled;          // the execute button
  void* OwnerWindow = nullptr;                          // owner of what the LHA library shows
  // Optional: a file of the run that converts nothing (no layer matches it, or an archive nested
  // too deep); the run goes on. Left empty, such files are only counted in RunTally.
  std::function<void(const std::string&)> Warn;
  // Optional: how far the run is, at its start and as each file and each input line is done
  // (run/progress.h). Left empty, nothing is counted: no archive is opened before its turn.
  std::function<void(const tprogress&)> Progress;
  // Optional: the closing message gets a second line with the number of files no layer matched.
  bool UnmatchedInClosingMessage = false;
};

// What the last run did, for the front ends' closing texts; reset at every run start.
struct truntally {
  int FilesConverted = 0;  // files read into at least one layer
  int FilesUnmatched = 0;  // files no layer matched, and archives nested too deep (not opened)
  int SetsWritten = 0;     // layer sets the run created
  int StopSignal = 0;      // the signal that stopped the run (tRunResult::Stopped)
};
extern truntally RunTally;

// Archives inside an archive are extracted and converted down to this many levels below the
// archive given as input; one found deeper is reported and skipped.
constexpr int kMaxArchiveNesting = 4;

// The threads that read a run's files (the batch mode's --jobs). 1: every file is read on the
// run's own thread at its turn. More: that many reader threads read the files ahead while the
// run writes what they read, in the same order and byte for byte as one thread would. The
// window's runs and the batch mode start with DefaultJobs().
extern int RunJobs;
int DefaultJobs();  // the cores this process may run on
constexpr int kMaxJobs = 256;

// The lock file a run holds in its output folder, so that two runs never write into one folder.
constexpr const char* kRunLockName = ".nabik.lock";

enum class tRunResult {
  Finished,     // "変換が終了しました"
  Interrupted,  // "変換が中断しました": no entry was checked
  Failed,       // an error ended the run; its message was shown
  NotStarted,   // no output file named
  Stopped,      // a signal (SIGINT, SIGTERM; RunTally.StopSignal) stopped it at a safe point:
                // what it extracted is removed, every set is whole, nothing was shown
};

// The run, as the execute button starts it.
tRunResult RunConversion(tfrontend& front);

// Converts one XML file into every catalog layer whose Name occurs in `filePath`; false when
// no layer matched it (the file is then not opened).
bool ConvertFile(const std::string& outputFolder, const std::string& filePath,
                 const std::function<void()>& processMessages);

// Warnings of the current run (a file declaring another datum than the set it went into), shown
// in one message at its end.
extern std::vector<std::string> RunWarnings;

// The run's fixed texts, in CP932.
std::string ProcessingText();               // "処理中"
std::string NoOutputFileText();             // the message when no output file is named
std::string UnmatchedCountText(int count);  // "一致するレイヤがないファイル: N"
