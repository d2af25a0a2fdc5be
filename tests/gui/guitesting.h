// Shared by the window tests: a window whose dialogs are recorded instead
// of shown, and the paths of its two output files.
#pragma once

#include <QWidget>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "app/tform1.h"
#include "ui_tform1.h"
#include "utils/outputfolder.h"
#include "utils/utf8path.h"

struct RecordedWindow {
    std::vector<ShownDialog> dialogs;
    TForm1 form{[this](const ShownDialog& d) { dialogs.push_back(d); }};
    Ui::TForm1& ui = form.ui();
};

inline std::string DumpPath() { return PathInFolder(OutputFolder(), "Dump.Txt"); }
inline std::string BadRecsPath() { return PathInFolder(OutputFolder(), "BadRecs.Txt"); }
