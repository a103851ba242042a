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
#include <vector>

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

struct Source {
  std::string path;
  std::string text;
};

std::vector<Source> Sources() {
  namespace fs = std::filesystem;
  std::vector<Source> out;
  for (const char* folder : {"basics", "engine", "audio", "visuals", "app", "ui"}) {
    for (const auto& entry : fs::recursive_directory_iterator(fs::path(TARVELO_SOURCE_DIR) / folder)) {
      const std::string ext = entry.path().extension().string();
      if (ext != ".cpp" && ext != ".h") continue;
      std::ifstream in(entry.path(), std::ios::binary);
      std::stringstream text;
      text << in.rdbuf();
      out.push_back({entry.path().string(), text.str()});
    }
  }
  return out;
}

bool IdentChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// A procedure that shows LangText(parameter, "default"): the number comes from
// its callers, so the default must be the table's text of every number they pass.
struct Forwarder {
  std::string name;
  size_t argument;  // which of its arguments is the number
  std::string text;
  std::string path;
};

// The forwarder around the LangText call at `at` whose number is `param`;
// false when `param` is no plain parameter of the enclosing procedure.
bool EnclosingForwarder(const std::string& src, size_t at, const std::string& param, Forwarder& f) {
  for (size_t p = src.rfind(param, at); p != std::string::npos && p > 0; p = src.rfind(param, p - 1)) {
    const size_t end = p + param.size();
    if (IdentChar(src[p - 1]) || end >= src.size() || (src[end] != ',' && src[end] != ')')) continue;
    // A declaration: a type name just before it ("uint32_t message").
    size_t q = p;
    while (q > 0 && src[q - 1] == ' ') --q;
    if (q < 7 || src.compare(q - 7, 7, "int32_t") != 0) continue;
    size_t open = q;
    size_t commas = 0;
    while (open > 0 && src[open] != '(') {
      if (src[open] == ')' || src[open] == ';' || src[open] == '{') return false;
      if (src[open] == ',') ++commas;
      --open;
    }
    size_t start = open;
    while (start > 0 && IdentChar(src[start - 1])) --start;
    if (start == open) return false;
    f.name = src.substr(start, open - start);
    f.argument = commas;
    return true;
  }
  return false;
}

// The number literal a call passes as argument `index`; -1 when it is not one.
int CallArgument(const std::string& src, size_t open, size_t index) {
  size_t pos = open + 1;
  int depth = 0;
  size_t arg = 0;
  std::string value;
  for (; pos < src.size(); ++pos) {
    const char c = src[pos];
    if (c == '(') ++depth;
    if (c == ')' && depth-- == 0) break;
    if (c == ',' && depth == 0) {
      if (arg++ == index) break;
      continue;
    }
    if (arg == index && c != ' ' && c != '\n') value += c;
  }
  if (value.empty() || value.size() > 4) return -1;
  for (char c : value)
    if (!std::isdigit(static_cast<unsigned char>(c))) return -1;
  return std::stoi(value);
}

// A message number handed on to a procedure that shows it with a default of
// its own: the number's text must be that default (a table text that does not
// fit the place, such as a driver caption as an error message, is caught here).
TEST(MessageSites, NumbersHandedOnMatchTheDefaultShownWithThem) {
  const std::vector<Source> sources = Sources();
  const std::string call = "LangText(";
  std::vector<Forwarder> forwarders;
  for (const Source& s : sources) {
    const std::string& src = s.text;
    for (size_t at = src.find(call); at != std::string::npos; at = src.find(call, at + 1)) {
      size_t pos = at + call.size();
      size_t end = pos;
      while (end < src.size() && IdentChar(src[end])) ++end;
      if (end == pos || std::isdigit(static_cast<unsigned char>(src[pos]))) continue;
      const std::string param = src.substr(pos, end - pos);
      if (end >= src.size() || src[end] != ',') continue;
      std::string text;
      if (!ReadLiterals(src, end + 1, text)) continue;
      Forwarder f;
      if (!EnclosingForwarder(src, at, param, f)) continue;
      f.text = text;
      f.path = s.path;
      forwarders.push_back(f);
    }
  }
  ASSERT_GE(forwarders.size(), 5u);
  int32_t checked = 0;
  for (const Forwarder& f : forwarders) {
    const std::string name = f.name + "(";
    for (const Source& s : sources) {
      for (size_t at = s.text.find(name); at != std::string::npos; at = s.text.find(name, at + 1)) {
        if (at > 0 && IdentChar(s.text[at - 1])) continue;
        const int n = CallArgument(s.text, at + f.name.size(), f.argument);
        if (n < 0) continue;
        ASSERT_LT(n, static_cast<int>(Tarvelo::kMessageCount)) << s.path;
        EXPECT_EQ(f.text, Tarvelo::kMessageDefaults[n])
            << s.path << ": " << f.name << " shows message " << n << " as \"" << f.text << "\"";
        ++checked;
      }
    }
  }
  EXPECT_GE(checked, 10);
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
        ASSERT_LT(n, static_cast<int>(Tarvelo::kMessageCount)) << entry.path();
        EXPECT_EQ(value, Tarvelo::kMessageDefaults[n]) << entry.path() << ": message " << n;
        ++checked;
      }
    }
  }
  EXPECT_GT(checked, 300);
}

}  // namespace
