// Where the window keeps Dump.Txt and BadRecs.Txt, and where the ports/
// links that map COMn to devices are looked up (by the window and by
// clockreader-cli alike).
//
// A copy of the programs the user built or unpacked keeps everything beside
// the programs, as importers of Dump.Txt expect (or the user's own folder when
// that folder cannot be written). An installed copy always uses a folder of
// the user's own: ~/ClockReader on Linux, Documents\ClockReader on Windows,
// whoever runs it, root and administrators included, who could write the
// program's folder. A copy counts as installed by where it lies (a folder the
// package manager owns, Program Files) or by the marker file the package and
// the installer put beside it, never by write access. The choice is made on
// the first call and holds for the rest of the run, so one run never splits
// its files between two folders.
#pragma once

#include <string>

// The folder chosen for this run (made on the first call). It is not created
// here: the window creates it before its files, a program that only looks
// up ports/ leaves the user's folder alone.
std::string OutputFolder();

// Fixes the folder OutputFolder() returns, for tests; an empty text makes
// the next call choose again.
void SetOutputFolder(const std::string& folder);

// The file whose presence beside the programs marks them as an installed
// copy; the MSI puts it into the program's folder.
inline constexpr const char* kInstalledMarkerName = "clockreader.installed";

// True when the programs in `programFolder` are an installed copy: the
// marker lies beside them, or the folder is one the system's package manager
// or installer owns (/usr/..., /bin, /sbin, /opt/... on Linux except source
// trees; Program Files on Windows).
bool IsInstalledCopy(const std::string& programFolder);

// For an installed copy `userFolder`; for any other copy `programFolder`
// when the current user may create files in it, else `userFolder`.
// `programFolder` again when there is no user folder.
std::string ChooseOutputFolder(const std::string& programFolder, const std::string& userFolder);

// ClockReader in the user's home (Linux: $HOME, else the password entry) or
// in the user's Documents folder (Windows); empty when neither is known.
std::string UserOutputFolder();

// Makes `folder` (UTF-8) and the folders above it when missing, and tells
// why files cannot be created in it: empty when they can, otherwise a reason
// that names the folder at fault, such as "/home/ana is read-only for this
// user", "/mnt is on a file system mounted read-only", "/media/usb is
// read-only for this user, and empty: is a drive to be mounted there?" or
// "the drive Z: does not exist".
std::string PrepareOutputFolder(const std::string& folder);
