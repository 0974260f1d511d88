#include "main/config_linux.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

#include "app/settings_file.h"
#include "core/linux/os_error.h"

namespace tl::app {

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
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += "\\\\";
    if (c == '%') quoted += '%';
    quoted += c;
  }
  return quoted + "\"";
}

}  // namespace

std::string configHome() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation).toStdString();
}

IniFile readSettingsFile() {
  const QString path = settingsPath();
  IniFile file{path.toStdString(), {}};
  QFile raw(path);
  if (!raw.exists()) return file;
  if (!raw.open(QIODevice::ReadOnly))
    throw SettingsError("Die Einstellungsdatei " + file.path + " lässt sich nicht lesen (" +
                        core_linux::osReason(errno) + ").");
  // QSettings skips a line it cannot make sense of and knows no line
  // numbers: the program's own reader checks the text first, so that a
  // stray line is an error, and says where each value stands.
  const QByteArray text = raw.readAll();
  const IniFile lines = parseIni(std::string_view(text.constData(), static_cast<size_t>(text.size())), file.path);
  auto lineOf = [&](const std::string& section, const std::string& key) {
    int line = 0;
    for (const IniValue& v : lines.values)
      if (QString::fromStdString(v.section).compare(QString::fromStdString(section), Qt::CaseInsensitive) == 0 &&
          QString::fromStdString(v.key).compare(QString::fromStdString(key), Qt::CaseInsensitive) == 0)
        line = v.line;  // QSettings keeps the last of a key written twice
    return line;
  };
  QSettings ini(path, QSettings::IniFormat);
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

std::string rememberedPort() {
  QSettings state(statePath(), QSettings::IniFormat);
  return state.value("lastPort").toString().toStdString();
}

void rememberPort(const std::string& port) {
  QSettings state(statePath(), QSettings::IniFormat);
  state.setValue("lastPort", QString::fromStdString(port));
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
  const std::string entry = std::string("[Desktop Entry]\n"
                                        "Type=Application\n"
                                        "Name=Tastlink\n"
                                        "Comment=Taster am seriellen Anschluss als Umschalttaste\n"
                                        "Exec=") +
                            execArgument(program) + " --minimized --wait-for-port\nIcon=" + kAppId +
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

void addSettingsHooks(Platform& p) {
  p.readSettings = readSettingsFile;
  p.saveSettings = [](const Settings& s) { return saveSettings(settingsPath().toStdString(), s); };
  p.settingsPath = [] { return settingsPath().toStdString(); };
  p.autostartOn = [] { return QFileInfo::exists(QString::fromStdString(configHome() + "/autostart/" + kAppId + ".desktop")); };
  p.rememberedPort = rememberedPort;
  p.rememberPort = rememberPort;
  p.setAutostart = [](bool on) { return setAutostart(on, ownProgram()); };
}

}  // namespace tl::app
