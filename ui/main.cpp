// Program entry: with arguments the batch mode runs, without a window and without the window
// toolkit; `--render` draws the preview picture into a file; without arguments the main window
// opens.
#include <cstdio>

#include "run/batch.h"
#if NABIK_HAVE_UI
#include "ui/startup.h"
#endif

int main(int argc, char** argv) {
#if NABIK_HAVE_UI
  if (IsRenderCall(argc, argv)) return RunRender(argc, argv);
#endif
  if (argc > 1) return RunBatch(argc, argv);
#if NABIK_HAVE_UI
  if (HaveDisplay()) return RunWindows(argc, argv);
  std::fputs(
      "nabik: there is no display to open the window on (DISPLAY, WAYLAND_DISPLAY and "
      "QT_QPA_PLATFORM are not set); give arguments to convert without a window.\n",
      stderr);
#else
  std::fputs("nabik: this build has no windows; give arguments to convert without a window.\n",
             stderr);
#endif
  std::fputs(BatchUsage(), stderr);
  return 2;
}
