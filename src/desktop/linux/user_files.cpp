#include "desktop/linux/user_files.h"

#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>
#include <QTemporaryFile>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

#include "app/settings_file.h"
#include "core/linux/os_error.h"

namespace tl::desktop_linux {

using namespace app;

namespace {

constexpr const char* kAppId = "io.github.tastlink.Tastlink";

QString settingsPath() { return QString::fromStdString(configHome()) + "/Tastlink/tastlink.conf"; }
QString statePath() { return QString::fromStdString(configHome()) + "/Tastlink/state.conf"; }

// The Desktop Entry format's Exec quoting: a path with blanks or reserved
// characters is quoted, with ", `, $ and \ escaped inside; a value's own
// backslashes are then escaped once more, and % is doubled.
std::string execArgument(const std::string& path) {
  if (path.find_first_of(" \t\n\"'\\><~|&;$*?#()`%") == std::string::npos) return path;
  std::string quoted = "\"";
  for (char c : path) {
    if (c == '"' || c == '`' || c == '$') quoted += "\\\\";
    if (c == '\\') quoted += "\\\\\\";
    if (c == '%') quoted += '%';
    quoted += c;
  }
  return quoted + "\"";
}

}  // namespace

std::string configHome() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation).toStdString();
}

namespace {

// No settings file is this large; a bigger one is not read into memory.
constexpr off_t kMaxFileBytes = 1 << 20;

// The file's bytes, read without ever waiting: a FIFO or a device put in
// the file's place would otherwise hold the start (or fill the memory).
// nullopt: there is no file.
std::optional<std::string> readSmallFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return std::nullopt;
    throw SettingsError("Die Einstellungsdatei " + path + " lässt sich nicht lesen (" +
                        core_linux::osReason(errno) + ").");
  }
  std::string text;
  struct stat st {};
  const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  int readErr = 0;
  if (regular && st.st_size <= kMaxFileBytes) {
    // One byte over the limit tells a file that grew since fstat().
    text.resize(static_cast<size_t>(kMaxFileBytes) + 1);
    size_t got = 0;
    while (got < text.size()) {
      const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
      if (n > 0) {
        got += static_cast<size_t>(n);
      } else if (n == 0 || errno != EINTR) {
        readErr = n < 0 ? errno : 0;
        break;
      }
    }
    text.resize(got);
  }
  ::close(fd);
  if (readErr)
    throw SettingsError("Die Einstellungsdatei " + path + " lässt sich nicht lesen (" +
                        core_linux::osReason(readErr) + ").");
  if (!regular)
    throw SettingsError("Die Einstellungsdatei " + path + " ist keine gewöhnliche Datei und wird nicht gelesen.");
  if (static_cast<off_t>(text.size()) > kMaxFileBytes || st.st_size > kMaxFileBytes)
    throw SettingsError("Die Einstellungsdatei " + path +
                        " ist größer als 1 MiB und wird nicht gelesen; Einstellungen brauchen nur wenige Zeilen.");
  return text;
}

}  // namespace

IniFile readSettingsFile() {
  const QString path = settingsPath();
  IniFile file{path.toStdString(), {}};
  const std::optional<std::string> text = readSmallFile(file.path);
  if (!text) return file;
  // QSettings skips a line it cannot make sense of and knows no line
  // numbers: the program's own reader checks the text first, so that a
  // stray line is an error, and says where each value stands.
  const IniFile lines = parseIni(*text, file.path);
  auto lineOf = [&](const std::string& section, const std::string& key) {
    int line = 0;
    for (const IniValue& v : lines.values)
      if (QString::fromStdString(v.section).compare(QString::fromStdString(section), Qt::CaseInsensitive) == 0 &&
          QString::fromStdString(v.key).compare(QString::fromStdString(key), Qt::CaseInsensitive) == 0)
        line = v.line;  // QSettings keeps the last of a key written twice
    return line;
  };
  // QSettings reads the very bytes checked above, not the path again.
  QTemporaryFile copy;
  if (!copy.open() || copy.write(text->data(), static_cast<qint64>(text->size())) != static_cast<qint64>(text->size()) ||
      !copy.flush())
    throw SettingsError("Die Einstellungsdatei " + file.path + " lässt sich nicht lesen (" +
                        core_linux::osReason(errno) + ").");
  QSettings ini(copy.fileName(), QSettings::IniFormat);
  if (ini.status() != QSettings::NoError)
    throw SettingsError("Die Einstellungsdatei " + file.path +
                        " ist keine INI-Datei. Erlaubt sind [Abschnitt]-Zeilen und Zeilen Eintrag=Wert.");
  for (const QString& key : ini.allKeys()) {
    // Top-level keys are QSettings' [General] section; any other is
    // "section/key".
    const qsizetype slash = key.indexOf('/');
    const std::string section = slash < 0 ? "General" : key.left(slash).toStdString();
    const std::string name = key.mid(slash + 1).toStdString();
    const QVariant value = ini.value(key);
    // QSettings splits a value at unquoted commas into a list: whatever the
    // user wrote is one value.
    const QString text = value.typeId() == QMetaType::QStringList ? value.toStringList().join(',') : value.toString();
    file.values.push_back({section, name, text.trimmed().toStdString(), lineOf(section, name)});
  }
  return file;
}

std::string rememberedPort(const std::function<int(const std::string& device)>& comOf) {
  // The program's own file; anything else in its place is not waited on.
  const QFileInfo info(statePath());
  if (!info.isFile() || info.size() > kMaxFileBytes) return {};
  QSettings state(statePath(), QSettings::IniFormat);
  // A number alone may stand for another adapter once they were renumbered.
  const std::string device = state.value("lastDevice").toString().toStdString();
  if (const int com = comOf && !device.empty() ? comOf(device) : 0) return "COM" + std::to_string(com);
  return state.value("lastPort").toString().toStdString();
}

void rememberPort(const std::string& port, const std::string& device) {
  QSettings state(statePath(), QSettings::IniFormat);
  state.setValue("lastPort", QString::fromStdString(port));
  if (device.empty())
    state.remove("lastDevice");
  else
    state.setValue("lastDevice", QString::fromStdString(device));
  state.sync();
}

std::string setAutostart(bool on, const std::string& program) {
  const std::string dir = configHome() + "/autostart";
  const std::string path = dir + "/" + kAppId + ".desktop";
  auto failed = [&](const char* doing, const char* call, int errnum) {
    return "Der Autostart-Eintrag " + path + " lässt sich nicht " + doing + ": " + core_linux::osReason(errnum) +
           " (" + core_linux::osCall(call, errnum) + ").";
  };
  if (!on) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return failed("entfernen", "unlink", errno);
    return {};
  }
  // A line break in the path would end Exec= and start a line of the
  // program's choosing, which the session would run; the format cannot
  // quote one there.
  if (std::any_of(program.begin(), program.end(), [](unsigned char c) { return c < 0x20 || c == 0x7F; }))
    return "Der Autostart-Eintrag wird nicht geschrieben: Der Pfad des Programms enthält ein Steuerzeichen "
           "(einen Zeilenumbruch oder dergleichen).";
  // TryExec: once the program is gone (the package purged), the session
  // skips the entry instead of starting nothing.
  std::string tryExec;
  for (char c : program) tryExec += c == '\\' ? std::string("\\\\") : std::string(1, c);
  const std::string entry = std::string("[Desktop Entry]\n"
                                        "Type=Application\n"
                                        "Name=Tastlink\n"
                                        "Comment=Taster am seriellen Anschluss als Umschalttaste\n"
                                        "Exec=") +
                            execArgument(program) + " --minimized --wait-for-port\nTryExec=" + tryExec +
                            "\nIcon=" + kAppId +
                            "\nTerminal=false\nX-GNOME-Autostart-enabled=true\n";
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return failed("schreiben", "mkdir", ec.value());
  // Written beside and renamed over: a session starting meanwhile reads
  // the old entry or the new one, never half of one.
  const std::string temp = path + ".new";
  // A fresh file: never through a link someone left in its place.
  ::unlink(temp.c_str());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return failed("schreiben", "open", errno);
  const bool written = ::write(fd, entry.data(), entry.size()) == static_cast<ssize_t>(entry.size());
  const int writeErr = errno;
  if (::close(fd) != 0 || !written) {
    const int e = written ? errno : writeErr;
    ::unlink(temp.c_str());
    return failed("schreiben", "write", e);
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int e = errno;
    ::unlink(temp.c_str());
    return failed("schreiben", "rename", e);
  }
  return {};
}

std::string ownProgram() {
  return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath().toStdString();
}

void addSettingsHooks(Platform& p, std::function<std::string(int com)> deviceOf,
                      std::function<int(const std::string& device)> comOf) {
  p.readSettings = readSettingsFile;
  p.saveSettings = [](const Settings& s) { return saveSettings(settingsPath().toStdString(), s); };
  p.settingsPath = [] { return settingsPath().toStdString(); };
  p.autostartOn = [] { return QFileInfo::exists(QString::fromStdString(configHome() + "/autostart/" + kAppId + ".desktop")); };
  p.rememberedPort = [comOf] { return rememberedPort(comOf); };
  p.rememberPort = [deviceOf](const std::string& port) {
    rememberPort(port, deviceOf ? deviceOf(comNumber(port)) : std::string());
  };
  p.setAutostart = [](bool on) { return setAutostart(on, ownProgram()); };
}

}  // namespace tl::desktop_linux
