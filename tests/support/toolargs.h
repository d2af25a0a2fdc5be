// The options of a soak or bench tool: flags with a value ("--kills N") and
// switches ("--verbose"), each bound to a variable that holds its default.
// Anything else, a missing value or one that is not a whole number prints
// the usage line.
#pragma once

#include <charconv>
#include <cstdio>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

class ToolArgs {
public:
    explicit ToolArgs(std::string program) : m_usage("usage: " + std::move(program)) {}

    // A flag followed by a number (`meta` names it in the usage line).
    template <class T>
    ToolArgs& Value(const std::string& flag, T& value, const std::string& meta)
    {
        static_assert(std::is_arithmetic_v<T>);
        m_usage += " [" + flag + " " + meta + "]";
        m_options.push_back({flag, [&value](const std::string& text) {
                                 T parsed{};
                                 const char* end = text.data() + text.size();
                                 const auto [at, error] = std::from_chars(text.data(), end, parsed);
                                 if (error != std::errc() || at != end) return false;
                                 value = parsed;
                                 return true;
                             }});
        return *this;
    }

    // A flag without a value: sets `on`.
    ToolArgs& Switch(const std::string& flag, bool& on)
    {
        m_usage += " [" + flag + "]";
        m_options.push_back({flag, {}, &on});
        return *this;
    }

    // Reads argv; false (after printing the usage line) when an argument is
    // not understood.
    bool Parse(int argc, char** argv) const
    {
        for (int i = 1; i < argc; ++i) {
            const Option* option = Find(argv[i]);
            if (!option) return Usage();
            if (option->on) {
                *option->on = true;
            } else if (i + 1 >= argc || !option->set(argv[++i])) {
                return Usage();
            }
        }
        return true;
    }

    // Prints the usage line; false, for `return Usage()` in Parse and for
    // the tools' own checks of the values.
    bool Usage() const
    {
        std::fprintf(stderr, "%s\n", m_usage.c_str());
        return false;
    }

private:
    struct Option {
        std::string flag;
        std::function<bool(const std::string&)> set;
        bool* on = nullptr;
    };

    const Option* Find(const std::string& flag) const
    {
        for (const Option& option : m_options)
            if (option.flag == flag) return &option;
        return nullptr;
    }

    std::string m_usage;
    std::vector<Option> m_options;
};
