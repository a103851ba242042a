// Every text shown through the message table names its number and English
// default where it is used; a language pack replaces texts by number, so a
// call site whose default differs from the table's text for that number would
// show the wrong message once translated. Reads the sources and checks each
// literal LangText(n, "...") against the table.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
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

TEST(MessageSites, EveryLiteralDefaultMatchesTheTable) {
  namespace fs = std::filesystem;
  const std::regex call(R"re(LangText\(\s*(\d+)\s*,\s*((?:"(?:[^"\\]|\\.)*"\s*)+)\))re");
  const std::regex literal(R"re("((?:[^"\\]|\\.)*)")re");
  int32_t checked = 0;
  for (const char* folder : {"basics", "engine", "audio", "visuals", "app", "ui"}) {
    const fs::path root = fs::path(TARVELO_SOURCE_DIR) / folder;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      const std::string ext = entry.path().extension().string();
      if (ext != ".cpp" && ext != ".h") continue;
      std::ifstream in(entry.path(), std::ios::binary);
      std::stringstream text;
      text << in.rdbuf();
      const std::string source = text.str();
      for (std::sregex_iterator it(source.begin(), source.end(), call), end; it != end; ++it) {
        const int n = std::stoi((*it)[1]);
        std::string value;
        const std::string parts = (*it)[2];
        for (std::sregex_iterator lit(parts.begin(), parts.end(), literal); lit != end; ++lit)
          value += Unescape((*lit)[1]);
        ASSERT_LT(n, 608) << entry.path();
        EXPECT_EQ(value, Tarvelo::kMessageDefaults[n]) << entry.path() << ": message " << n;
        ++checked;
      }
    }
  }
  EXPECT_GT(checked, 300);
}

}  // namespace
