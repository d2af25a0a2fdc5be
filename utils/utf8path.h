// Paths are UTF-8 text throughout the program, on Windows as well, where the
// system's own calls take them as UTF-16: a folder named with Persian letters
// works whatever the system's code page. These convert at std::filesystem,
// which would otherwise read narrow text in the code page on Windows.
#pragma once

#include <filesystem>
#include <string>

inline std::filesystem::path PathFromUtf8(const std::string& text)
{
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

inline std::string Utf8FromPath(const std::filesystem::path& path)
{
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// `name` in `folder`, written with the system's own separators throughout
// ("C:\\Users\\op\\Documents\\ClockReader\\Dump.Txt", never a mix of \\ and /),
// for paths that messages show.
inline std::string PathInFolder(const std::string& folder, const std::string& name)
{
    return Utf8FromPath((PathFromUtf8(folder) / PathFromUtf8(name)).make_preferred());
}
