#include "platform/windowing/PlatformChoice.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <vector>

#include <QDir>
#include <QJsonArray>
#include <QJsonObject>
#include <QLibraryInfo>
#include <QPluginLoader>

#include "platform/windowing/DisplayProbe.h"

namespace win {
namespace {

const char* Variable(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? value : nullptr;
}

// The plugin key of a QT_QPA_PLATFORM entry such as "xcb" or "wayland:option".
std::string KeyOf(const std::string& entry) {
  std::string key = entry.substr(0, entry.find(':'));
  std::transform(key.begin(), key.end(), key.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return key;
}

bool IsWayland(const std::string& key) {
  return key.rfind("wayland", 0) == 0;
}

bool DrawsNowhere(const std::string& key) {
  return key == "offscreen" || key == "minimal";
}

// Platforms other than X11 and Wayland (offscreen, vnc, eglfs, ...) were chosen on purpose:
// their plugin being there is all that can be known beforehand.
bool Works(const TPlatformFacts& facts, const std::string& key) {
  if (!facts.installed.count(key)) return false;
  if (key == "xcb") return facts.xAnswers;
  if (IsWayland(key)) return facts.waylandAnswers;
  return true;
}

std::string WhyNot(const TPlatformFacts& facts, const std::string& key) {
  if (!facts.installed.count(key)) return "the Qt platform plugin \"" + key + "\" is not installed";
  return "the display for the Qt platform \"" + key + "\" does not answer";
}

void AddKeys(const QString& folder, std::set<std::string>& keys) {
  const QDir platforms(folder);
  for (const QString& file : platforms.entryList({QStringLiteral("*.so")}, QDir::Files)) {
    // Read from the file's metadata; the library is not loaded.
    const QJsonObject data = QPluginLoader(platforms.filePath(file)).metaData();
    for (const auto key :
         data.value(QLatin1String("MetaData")).toObject().value(QLatin1String("Keys")).toArray())
      keys.insert(key.toString().toLower().toStdString());
  }
}

}  // namespace

TPlatformChoice ChoosePlatform(const TPlatformFacts& facts) {
  std::vector<std::string> entries;
  std::istringstream list(facts.requested);
  for (std::string entry; std::getline(list, entry, ';');)
    if (!entry.empty()) entries.push_back(entry);
  if (entries.empty()) entries.emplace_back(facts.waylandSession ? "wayland" : "xcb");
  const std::string first = KeyOf(entries.front());

  TPlatformChoice choice;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::string key = KeyOf(entries[i]);
    if (!Works(facts, key)) continue;
    choice.headless = DrawsNowhere(key);
    // Qt would stop at the first entry, not go on to this one.
    if (i > 0) {
      choice.platform = entries[i];
      choice.notice = "tramlet: " + WhyNot(facts, first) + "; using " + key + " instead";
    }
    return choice;
  }
  for (const char* fallback : {"xcb", "wayland"}) {
    if (!Works(facts, fallback)) continue;
    choice.platform = fallback;
    choice.notice = "tramlet: " + WhyNot(facts, first) + "; using " + fallback + " instead";
    return choice;
  }
  choice.platform = "offscreen";
  choice.headless = true;
  std::string why;
  if (!facts.installed.count(first))
    why = WhyNot(facts, first) + " and no display answers";
  else if (!facts.xSet && !facts.waylandSet)
    why = "no display found";
  else
    why = "the display could not be opened";
  choice.notice =
      "tramlet: " + why + "; the proxy runs without a window until stopped (SIGINT or SIGTERM)";
  return choice;
}

TPlatformFacts GatherPlatformFacts() {
  TPlatformFacts facts;
  if (const char* requested = Variable("QT_QPA_PLATFORM")) facts.requested = requested;
  const char* session = Variable("XDG_SESSION_TYPE");
  facts.waylandSession = session && std::string(session) == "wayland";
  facts.xSet = Variable("DISPLAY") != nullptr;
  facts.xAnswers = XServerAnswers();
  facts.waylandSet = Variable("WAYLAND_DISPLAY") != nullptr;
  facts.waylandAnswers = WaylandServerAnswers();
  // Where Qt looks for platform plugins.
  AddKeys(QLibraryInfo::path(QLibraryInfo::PluginsPath) + QLatin1String("/platforms"),
          facts.installed);
  if (const char* folder = Variable("QT_QPA_PLATFORM_PLUGIN_PATH"))
    AddKeys(QString::fromLocal8Bit(folder), facts.installed);
  if (const char* paths = Variable("QT_PLUGIN_PATH")) {
    for (const QString& path :
         QString::fromLocal8Bit(paths).split(QLatin1Char(':'), Qt::SkipEmptyParts))
      AddKeys(path + QLatin1String("/platforms"), facts.installed);
  }
  return facts;
}

TPlatformChoice SetUpPlatform(bool printNotice) {
  TPlatformChoice choice = ChoosePlatform(GatherPlatformFacts());
  if (!choice.platform.empty()) setenv("QT_QPA_PLATFORM", choice.platform.c_str(), 1);
  if (printNotice && !choice.notice.empty()) std::fprintf(stderr, "%s\n", choice.notice.c_str());
  return choice;
}

}  // namespace win
