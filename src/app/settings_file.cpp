#include "app/settings_file.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>

namespace tl::app {

namespace {

constexpr int kMaxSwitches = 4;

bool same(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// "switch2" → 2, as the reader numbers switch sections; 0 for others.
int switchNumber(std::string_view section) {
  if (section.size() != 7 || !same(section.substr(0, 6), "switch")) return 0;
  const char n = section[6];
  return n >= '1' && n <= '0' + kMaxSwitches ? n - '0' : 0;
}

// A value as the reader gives it back: quoted where Qt's reader would
// otherwise cut it (a comma makes a list, a ';' a comment) or trim it.
std::string written(const std::string& value) {
  const bool plain = value.find_first_of(";,\"") == std::string::npos &&
                     (value.empty() || (value.front() != ' ' && value.back() != ' '));
  return plain ? value : "\"" + value + "\"";
}

const char* boolText(bool b) { return b ? "true" : "false"; }

// The entries of one switch as the file writes them, in the file's order.
std::vector<std::pair<std::string, std::string>> switchEntries(const SwitchSetting& s) {
  return {{"line", lineName(s.line)},
          {"key", s.key.empty() ? "" : s.key.name()},
          {"invert", boolText(s.invert)},
          {"mode", s.toggle ? "toggle" : "hold"},
          {"debounce", std::to_string(s.debounceMs)}};
}

std::vector<std::pair<std::string, std::string>> generalEntries(const Settings& s) {
  return {{"port", s.port},
          {"remember", boolText(s.remember)},
          {"minimized", boolText(s.minimized)},
          {"wait-for-port", boolText(s.waitForPort)},
          {"minimize-to-tray", boolText(s.tray)}};
}

// The file's lines, edited where they stand: a line may be dropped, and
// lines may follow it that were not there.
class Lines {
 public:
  explicit Lines(std::string_view text) {
    newline_ = text.find("\r\n") != std::string_view::npos ? "\r\n" : "\n";
    endsWithNewline_ = text.empty() || text.back() == '\n';
    while (!text.empty()) {
      const size_t end = text.find('\n');
      std::string line(text.substr(0, end));
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines_.push_back({line, false, {}});
      text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
  }

  // The section each line belongs to ("" for a line before any header),
  // and the header lines' own sections.
  std::optional<std::string> header(size_t i) const {
    std::string_view l = lines_[i].text;
    if (i == 0 && l.substr(0, 3) == "\xEF\xBB\xBF") l.remove_prefix(3);
    l = l.substr(0, l.find(';'));
    const size_t b = l.find_first_not_of(" \t"), e = l.find_last_not_of(" \t");
    if (b == std::string_view::npos || l[b] != '[' || l[e] != ']') return std::nullopt;
    std::string name(l.substr(b + 1, e - b - 1));
    name.erase(0, name.find_first_not_of(" \t"));
    name.erase(name.find_last_not_of(" \t") + 1);
    return name;
  }
  size_t size() const { return lines_.size(); }

  // The value of line `i` (1-based, as the reader counts) becomes `value`;
  // the key, the spacing and a comment after it stay.
  void setValue(int number, const std::string& value) {
    std::string& l = lines_.at(static_cast<size_t>(number - 1)).text;
    const size_t eq = l.find('=');
    size_t end = l.size();
    bool quoted = false;
    for (size_t i = eq + 1; i < l.size(); ++i) {
      if (l[i] == '"') quoted = !quoted;
      if (l[i] == ';' && !quoted) {
        end = i;
        break;
      }
    }
    const size_t b = l.find_first_not_of(" \t", eq + 1);
    if (b == std::string::npos || b >= end) {
      l.insert(eq + 1, value);
      return;
    }
    const size_t e = l.find_last_not_of(" \t", end - 1) + 1;
    l.replace(b, e - b, value);
  }
  void drop(int number) { lines_.at(static_cast<size_t>(number - 1)).dropped = true; }
  void insertAfter(size_t index, const std::string& line) {
    lines_.at(index).after.push_back(line);
    grown_ = true;
  }
  void append(const std::string& line) {
    appended_.push_back(line);
    grown_ = true;
  }
  bool endsBlank() const {
    if (!appended_.empty()) return appended_.back().empty();
    return lines_.empty() || lines_.back().text.find_first_not_of(" \t") == std::string::npos;
  }

  std::string text() const {
    std::vector<std::string> out;
    for (const Line& l : lines_) {
      if (!l.dropped) out.push_back(l.text);
      out.insert(out.end(), l.after.begin(), l.after.end());
    }
    out.insert(out.end(), appended_.begin(), appended_.end());
    std::string s;
    for (size_t i = 0; i < out.size(); ++i) {
      s += out[i];
      if (i + 1 < out.size() || endsWithNewline_ || grown_) s += newline_;
    }
    return s;
  }

 private:
  struct Line {
    std::string text;
    bool dropped;
    std::vector<std::string> after;
  };
  std::vector<Line> lines_;
  std::vector<std::string> appended_;
  std::string newline_;
  bool endsWithNewline_;
  bool grown_ = false;  // a line added ends with a newline, as editors write
};

class Editor {
 public:
  Editor(std::string_view text, const std::string& path) : lines_(text), file_(parseIni(text, path)) {
    // Where each section's entries end: new ones of that section go there.
    std::string section = "General";
    for (size_t i = 0; i < lines_.size(); ++i) {
      if (auto h = lines_.header(i)) {
        section = *h;
        if (!lastOf(section)) last_.push_back({section, i});
      }
    }
    for (const IniValue& v : file_.values) {
      const size_t index = static_cast<size_t>(v.line - 1);
      if (size_t* l = lastOf(v.section)) *l = std::max(*l, index);
      else last_.push_back({v.section, index});
    }
  }

  const IniFile& file() const { return file_; }

  // The last entry `key` of `section`, as the reader takes the last one.
  const IniValue* find(const std::string& section, const std::string& key) const {
    const IniValue* found = nullptr;
    for (const IniValue& v : file_.values)
      if (same(v.section, section) && same(v.key, key)) found = &v;
    return found;
  }

  void set(const std::string& section, const std::string& key, const std::string& value) {
    if (const IniValue* v = find(section, key)) return lines_.setValue(v->line, written(value));
    const std::string line = key + "=" + written(value);
    if (size_t* l = lastOf(section)) return lines_.insertAfter(*l, line);
    if (!appended_.empty() && same(appended_.back(), section)) return lines_.append(line);
    // A new section: at the end, after a blank line as people write them.
    if (!lines_.endsBlank()) lines_.append("");
    lines_.append("[" + section + "]");
    lines_.append(line);
    appended_.push_back(section);
  }

  void dropSection(const std::string& section) {
    for (const IniValue& v : file_.values)
      if (same(v.section, section)) lines_.drop(v.line);
  }

  std::string text() const { return lines_.text(); }

 private:
  size_t* lastOf(const std::string& section) {
    for (auto& [s, l] : last_)
      if (same(s, section)) return &l;
    return nullptr;
  }

  Lines lines_;
  IniFile file_;
  std::vector<std::pair<std::string, size_t>> last_;
  std::vector<std::string> appended_;  // sections new at the end
};

}  // namespace

std::string updateSettingsText(std::string_view text, const Settings& want, const std::string& path) {
  Editor ed(text, path);
  const Settings now = settingsFromFile(ed.file());

  const auto wantGeneral = generalEntries(want), nowGeneral = generalEntries(now);
  for (size_t i = 0; i < wantGeneral.size(); ++i)
    if (wantGeneral[i].second != nowGeneral[i].second) ed.set("General", wantGeneral[i].first, wantGeneral[i].second);

  // The reader takes the switch sections that hold entries in the order of
  // their numbers; without any, the default switch stands.
  std::map<int, std::string> sections;
  for (const IniValue& v : ed.file().values)
    if (const int n = switchNumber(v.section)) sections.emplace(n, v.section);
  const bool implicit = sections.empty();
  if (implicit && want.switches.size() == now.switches.size() &&
      std::equal(want.switches.begin(), want.switches.end(), now.switches.begin(), [](auto& a, auto& b) {
        return switchEntries(a) == switchEntries(b);
      }))
    return ed.text();

  auto it = sections.begin();
  int next = 1;
  for (size_t i = 0; i < want.switches.size(); ++i) {
    const auto entries = switchEntries(want.switches[i]);
    if (!implicit && it != sections.end()) {
      const auto before = switchEntries(now.switches[i]);
      for (size_t k = 0; k < entries.size(); ++k)
        if (entries[k].second != before[k].second) ed.set(it->second, entries[k].first, entries[k].second);
      ++it;
      continue;
    }
    // A section of its own: line and key always, the rest where it is not
    // what the reader assumes.
    while (sections.count(next)) ++next;
    if (next > kMaxSwitches) break;
    const std::string section = "switch" + std::to_string(next++);
    const auto defaults = switchEntries(SwitchSetting{});
    for (size_t k = 0; k < entries.size(); ++k)
      if (k < 2 || entries[k].second != defaults[k].second) ed.set(section, entries[k].first, entries[k].second);
  }
  for (; it != sections.end(); ++it) ed.dropSection(it->second);
  return ed.text();
}

}  // namespace tl::app
