// What the file operations share on every platform: Windows mask matching and the attribute
// letters. Masks follow FindFirstFile's rules, so a listing selects the same names on Linux as
// on Windows.
#include <string>
#include <vector>

#include "os/files.h"
#include "runtime/codepage.h"

namespace tav::os {
namespace {

// Mask tokens with the rules Windows applies to FindFirstFile masks: "*" before "." becomes a
// star that stops at the name's last dot, "." before "*", "?" or the end may match the end of a
// name, and "?" matches nothing at a dot or at the end.
enum class Tok : uint8_t { Literal, Star, DosStar, DosQm, DosDot };
struct Token {
  Tok kind;
  char c;
};

std::vector<Token> tokenize(std::string_view m) {
  std::vector<Token> t;
  for (size_t i = 0; i < m.size(); ++i) {
    char c = m[i];
    bool last = i + 1 == m.size();
    if (c == '*')
      t.push_back({!last && m[i + 1] == '.' ? Tok::DosStar : Tok::Star, c});
    else if (c == '?')
      t.push_back({Tok::DosQm, c});
    else if (c == '.' && (last || m[i + 1] == '*' || m[i + 1] == '?'))
      t.push_back({Tok::DosDot, c});
    else
      t.push_back({Tok::Literal, c});
  }
  return t;
}

bool matchFrom(const std::vector<Token>& t, size_t ti, std::string_view n, size_t ni) {
  if (ti == t.size()) return ni == n.size();
  const Token& k = t[ti];
  switch (k.kind) {
    case Tok::Literal:
      return ni < n.size() && n[ni] == k.c && matchFrom(t, ti + 1, n, ni + 1);
    case Tok::Star:
      for (size_t j = ni; j <= n.size(); ++j)
        if (matchFrom(t, ti + 1, n, j)) return true;
      return false;
    case Tok::DosStar: {
      size_t lastDot = n.rfind('.');
      size_t limit = lastDot != std::string_view::npos && lastDot >= ni ? lastDot : n.size();
      for (size_t j = ni; j <= limit; ++j)
        if (matchFrom(t, ti + 1, n, j)) return true;
      return false;
    }
    case Tok::DosQm:
      if (ni < n.size() && n[ni] != '.') return matchFrom(t, ti + 1, n, ni + 1);
      return matchFrom(t, ti + 1, n, ni);
    case Tok::DosDot:
      if (ni < n.size()) return n[ni] == '.' && matchFrom(t, ti + 1, n, ni + 1);
      return matchFrom(t, ti + 1, n, ni);
  }
  return false;
}

}  // namespace

std::string attributeLetters(uint32_t a) {
  std::string out;
  if (a & kAttrReadOnly) out += 'R';
  if (a & kAttrHidden) out += 'H';
  if (a & kAttrSystem) out += 'S';
  if (a & kAttrDirectory) out += 'D';
  if (a & kAttrArchive) out += 'A';
  return out;
}

bool maskMatches(std::string_view mask, std::string_view name) {
  std::string m = rt::upper(mask);
  if (m == "*.*" || m == "*") return true;
  return matchFrom(tokenize(m), 0, rt::upper(name), 0);
}

}  // namespace tav::os
