// Files replaced whole, on both systems.
#include <gtest/gtest.h>

#include <filesystem>

#include "durablefile.h"
#include "utils/errors.h"
#include "utils/utf8path.h"

namespace fs = std::filesystem;

TEST(DurableFile, AReplaceHoldsTheNewTextOrFailsLeavingNoTemporaryFile)
{
    const fs::path dir = fs::temp_directory_path() /
                         ("durable-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string path = Utf8FromPath(dir / "Positions.Txt");
    cli::ReplaceFileDurably(path, "first\n");
    cli::ReplaceFileDurably(path, "second\n");
    EXPECT_EQ(cli::ReadFileText(path).value_or(""), "second\n");
    EXPECT_FALSE(cli::ReadFileText(Utf8FromPath(dir / "absent")).has_value());

    // A folder in the file's place: the rename fails, and nothing is left
    // beside it.
    const std::string blocked = Utf8FromPath(dir / "Blocked.Txt");
    fs::create_directories(dir / "Blocked.Txt" / "inside");
    EXPECT_THROW(cli::ReplaceFileDurably(blocked, "text\n"), EInOutError);
    EXPECT_FALSE(fs::exists(dir / "Blocked.Txt.tmp"));
    EXPECT_TRUE(fs::is_directory(dir / "Blocked.Txt" / "inside"));
    fs::remove_all(dir);
}
