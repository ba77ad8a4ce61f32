#pragma once
// The window program as a whole. No Qt here: the program entry includes it in every build.

// True when a window can be shown: DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM is set.
bool HaveDisplay();

// Runs the program with its windows, in the designed order: the LHA binding first, the main
// window (which loads the catalog, the output path and MapSettings), the settings dialog, the
// message loop, and the LHA binding released last. Returns the exit status: 2 when the catalog
// could not be opened (then no window and no message).
int RunWindows(int argc, char** argv);
