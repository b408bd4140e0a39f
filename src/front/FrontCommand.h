// The installer front's command line: what it passes on to the setup
// program and whether it may show a message box. Kept free of <windows.h>
// so that the host tests check the same code that the front runs.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace stw::front {

inline bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// The command line after argument 0 and the blanks that follow it, exactly
// as it came. Argument 0 ends as the system's own parser ends it: a quoted
// one at its closing quote (a quote inside it cannot be escaped), an
// unquoted one at the first space or tab. What follows is handed on
// untouched, so the setup parses the user's switches exactly as this
// program would have.
inline std::wstring_view ArgumentTail(std::wstring_view line) {
  size_t i = 0;
  if (!line.empty() && line[0] == L'"') {
    const size_t close = line.find(L'"', 1);
    i = close == std::wstring_view::npos ? line.size() : close + 1;
  } else {
    while (i < line.size() && !IsBlank(line[i])) ++i;
  }
  while (i < line.size() && IsBlank(line[i])) ++i;
  return line.substr(i);
}

// Splits arguments after argument 0 by the rules of the system's parser:
// blanks separate arguments outside quotes; 2n backslashes before a quote
// give n backslashes and the quote opens or closes a quoted part; 2n+1
// give n backslashes and a literal quote; inside a quoted part two quotes
// give one literal quote and end the quoted part (the rule of the system's
// CommandLineToArgvW, which the setup uses; the C runtime since 2008
// stays in the quoted part); other backslashes are literal.
inline std::vector<std::wstring> SplitArguments(std::wstring_view tail) {
  std::vector<std::wstring> args;
  size_t i = 0;
  for (;;) {
    while (i < tail.size() && IsBlank(tail[i])) ++i;
    if (i >= tail.size()) return args;
    std::wstring arg;
    bool quoted = false;
    while (i < tail.size() && (quoted || !IsBlank(tail[i]))) {
      if (tail[i] == L'\\') {
        size_t n = 0;
        while (i < tail.size() && tail[i] == L'\\') ++n, ++i;
        if (i < tail.size() && tail[i] == L'"') {
          arg.append(n / 2, L'\\');
          if (n % 2 == 1) {
            arg.push_back(L'"');
            ++i;
          }
        } else {
          arg.append(n, L'\\');
        }
      } else if (tail[i] == L'"') {
        ++i;
        if (quoted && i < tail.size() && tail[i] == L'"') {
          arg.push_back(L'"');
          ++i;
          quoted = false;
        } else {
          quoted = !quoted;
        }
      } else {
        arg.push_back(tail[i++]);
      }
    }
    args.push_back(std::move(arg));
  }
}

inline bool EqualsAsciiNoCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    wchar_t x = a[i], y = b[i];
    if (x >= L'A' && x <= L'Z') x = static_cast<wchar_t>(x - L'A' + L'a');
    if (y >= L'A' && y <= L'Z') y = static_cast<wchar_t>(y - L'A' + L'a');
    if (x != y) return false;
  }
  return true;
}

// Whether the run is unattended, so that a failure must not wait for
// somebody to close a message box: the setup's own switches silent and s,
// and suppressmsgboxes, written with "/" or "-" in any case, anywhere
// among the arguments.
inline bool WantsNoMessageBox(std::wstring_view tail) {
  for (const std::wstring& a : SplitArguments(tail)) {
    if (a.size() < 2 || (a[0] != L'/' && a[0] != L'-')) continue;
    const std::wstring_view name = std::wstring_view(a).substr(1);
    if (EqualsAsciiNoCase(name, L"silent") || EqualsAsciiNoCase(name, L"s") ||
        EqualsAsciiNoCase(name, L"suppressmsgboxes"))
      return true;
  }
  return false;
}

// The setup program's command line: its own path as argument 0, the
// installer file (which carries the package) as argument 1, then the
// user's switches as they came. Neither path can hold a quote, and a file
// path never ends in a backslash, so plain quotes keep both whole.
inline std::wstring SetupCommandLine(std::wstring_view setupPath, std::wstring_view installerPath,
                                     std::wstring_view tail) {
  std::wstring line;
  line.reserve(setupPath.size() + installerPath.size() + tail.size() + 6);
  line += L'"';
  line += setupPath;
  line += L"\" \"";
  line += installerPath;
  line += L'"';
  if (!tail.empty()) {
    line += L' ';
    line += tail;
  }
  return line;
}

}  // namespace stw::front
