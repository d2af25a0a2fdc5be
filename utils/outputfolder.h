// Where the window keeps Dump.Txt and BadRecs.Txt, and where the ports/
// links that map COMn to devices are looked up (by the window and by
// clockreader-cli alike).
//
// A copy of the programs in a folder the user may write to keeps everything
// beside the programs, as importers of Dump.Txt expect. An installed copy,
// whose folder the user may not write to, uses a folder of the user's own:
// ~/ClockReader on Linux, Documents\ClockReader on Windows. The choice is made
// on the first call and holds for the rest of the run, so one run never
// splits its files between two folders.
#pragma once

#include <string>

// The folder chosen for this run (made on the first call). It is not created
// here: the window creates it before its files, a program that only looks
// up ports/ leaves the user's folder alone.
std::string OutputFolder();

// Fixes the folder OutputFolder() returns, for tests; an empty text makes
// the next call choose again.
void SetOutputFolder(const std::string& folder);

// `programFolder` when the current user may create files in it, else
// `userFolder`; `programFolder` again when there is no user folder.
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
