// Test support: crash headers as either build writes them. The Linux build
// names the site as the call gives it ("crash in  at src/vexil:12", "crash at
// src/n3d:1432"); the Windows build the failing function, the full path of the
// source file under the source tree and the real line. crash_site() leaves a
// text as it is on Linux; on Windows it turns the site of each header into one
// placeholder, in both forms alike (also in a regular expression that gives
// the line as [0-9]+), so a test compares the rest of the output on either
// build. A Windows header without a function name or outside the
// source tree keeps its site and so fails the comparison.
#pragma once

#include <regex>
#include <string>

inline std::string crash_regex_escape(const std::string& s)
{
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(s, special, R"(\$&)");
}

inline std::string crash_site(const std::string& text)
{
#if defined(_WIN32)
    const std::string src = crash_regex_escape(QF_SOURCE_DIR) + "/(src|tests)/[^:\n]+\\.(cpp|h):[0-9]+";
    static const std::regex windows_in("crash in [A-Za-z_][A-Za-z0-9_]* at " + src);
    static const std::regex windows_at("crash at " + src);
    // As the tests write them: the old source path, then the line, only the
    // colon, or a pattern for the line.
    static const std::regex linux_in(R"(crash in  at src/[A-Za-z0-9_/.]+:(\[0-9\]\+|[0-9]*))");
    static const std::regex linux_at(R"(crash at src/[A-Za-z0-9_/.]+:(\[0-9\]\+|[0-9]*))");
    std::string s = std::regex_replace(text, windows_in, "crash in <site>");
    s = std::regex_replace(s, windows_at, "crash at <site>");
    s = std::regex_replace(s, linux_in, "crash in <site>");
    return std::regex_replace(s, linux_at, "crash at <site>");
#else
    return text;
#endif
}
