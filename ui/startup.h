#pragma once
// The window program as a whole. No Qt here: the program entry includes it in every build.

// True when a window can be shown: DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM is set.
bool HaveDisplay();

// Settles the application once it is constructed: its name, its font, and numbers written with
// a decimal point whatever the user's locale (Qt takes the locale from the environment, and the
// map files and settings must read the same on every machine).
void PrepareApplication();

// Runs the program with its windows, in the designed order: the LHA binding first, the main
// window (which loads the catalog, the output path and MapSettings), the settings dialog, the
// message loop, and the LHA binding released last. Returns the exit status: 2 when the catalog
// could not be opened (then no window and no message).
int RunWindows(int argc, char** argv);

// True when the arguments ask for `--render`, which needs the window toolkit's painting.
bool IsRenderCall(int argc, char** argv);

// `nabik --render IMAGE.png [--size WIDTHxHEIGHT] FOLDER`: exit 0 when the picture was written,
// 1 when nothing could be drawn or it could not be written, 2 for a usage or catalog error.
int RunRender(int argc, char** argv);
