// Every text shown through the message table names its number and English
// default where it is used; a language pack replaces texts by number, so a
// call site whose default differs from the table's text for that number would
// show the wrong message once translated. Reads the sources and checks each
// literal LangText(n, "...") against the table.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "app/messages.h"

namespace {

// The C++ escapes our sources use in message literals.
std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 >= s.size()) {
      out += s[i];
      continue;
    }
    const char c = s[++i];
    if (c == 'x') {
      size_t j = i + 1;
      int v = 0;
      while (j < s.size() && j < i + 3 && std::isxdigit(static_cast<unsigned char>(s[j])))
        v = v * 16 + std::stoi(std::string(1, s[j++]), nullptr, 16);
      out += static_cast<char>(v);
      i = j - 1;
    } else if (c == 'n') {
      out += '\n';
    } else {
      out += c;
    }
  }
  return out;
}

// Reads the string literals (adjacent ones joined) starting at pos, up to the
// closing parenthesis of the call; false when the argument is not made of
// literals only (a variable or an expression).
bool ReadLiterals(const std::string& src, size_t pos, std::string& value) {
  bool any = false;
  while (pos < src.size()) {
    const char c = src[pos];
    if (c == ' ' || c == '\n' || c == '\r' || c == '\t') {
      ++pos;
    } else if (c == '"') {
      size_t end = pos + 1;
      while (end < src.size() && src[end] != '"') end += src[end] == '\\' ? 2 : 1;
      if (end >= src.size()) return false;
      value += Unescape(src.substr(pos + 1, end - pos - 1));
      pos = end + 1;
      any = true;
    } else {
      return any && c == ')';
    }
  }
  return false;
}

TEST(MessageSites, EveryLiteralDefaultMatchesTheTable) {
  namespace fs = std::filesystem;
  const std::string call = "LangText(";
  int32_t checked = 0;
  for (const char* folder : {"basics", "engine", "audio", "visuals", "app", "ui"}) {
    const fs::path root = fs::path(TARVELO_SOURCE_DIR) / folder;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      const std::string ext = entry.path().extension().string();
      if (ext != ".cpp" && ext != ".h") continue;
      std::ifstream in(entry.path(), std::ios::binary);
      std::stringstream text;
      text << in.rdbuf();
      const std::string src = text.str();
      for (size_t at = src.find(call); at != std::string::npos; at = src.find(call, at + 1)) {
        size_t pos = at + call.size();
        while (pos < src.size() && src[pos] == ' ') ++pos;
        size_t digits = pos;
        while (digits < src.size() && std::isdigit(static_cast<unsigned char>(src[digits]))) ++digits;
        if (digits == pos) continue;  // a number held in a variable
        const int n = std::stoi(src.substr(pos, digits - pos));
        pos = digits;
        while (pos < src.size() && src[pos] == ' ') ++pos;
        if (pos >= src.size() || src[pos] != ',') continue;
        std::string value;
        if (!ReadLiterals(src, pos + 1, value)) continue;
        ASSERT_LT(n, 608) << entry.path();
        EXPECT_EQ(value, Tarvelo::kMessageDefaults[n]) << entry.path() << ": message " << n;
        ++checked;
      }
    }
  }
  EXPECT_GT(checked, 300);
}

}  // namespace
