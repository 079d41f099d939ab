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

std::string XDisplay(const TPlatformFacts& facts) {
  return facts.xName.empty() ? "the X display" : "the X display " + facts.xName;
}

std::string WaylandDisplay(const TPlatformFacts& facts) {
  return facts.waylandName.empty() ? "the Wayland display"
                                   : "the Wayland display " + facts.waylandName;
}

std::string NotInstalled(const std::string& key) {
  if (IsWayland(key)) return "Qt's Wayland platform plugin (Debian's qt6-wayland) is not installed";
  return "the Qt platform plugin \"" + key + "\" is not installed";
}

// What keeps a platform that does not work from working.
std::string WhyNot(const TPlatformFacts& facts, const std::string& key) {
  if (!facts.installed.count(key)) return NotInstalled(key);
  if (key == "xcb") return facts.xSet ? XDisplay(facts) + " does not answer" : "DISPLAY is not set";
  if (facts.waylandSet) return WaylandDisplay(facts) + " does not answer";
  return "WAYLAND_DISPLAY is not set and no Wayland display answers";
}

// Why no platform with a window works: every display that is set, or answers, and what it
// lacks; none at all when none is.
std::string WhyHeadless(const TPlatformFacts& facts, const std::string& first) {
  std::vector<std::string> reasons;
  if (first != "xcb" && !IsWayland(first) && !facts.installed.count(first))
    reasons.push_back(NotInstalled(first));
  if (facts.xSet)
    reasons.push_back(facts.installed.count("xcb") ? XDisplay(facts) + " does not answer"
                                                   : NotInstalled("xcb"));
  if (facts.waylandAnswers && !facts.installed.count("wayland"))
    reasons.push_back(WaylandDisplay(facts) + " answers, but " + NotInstalled("wayland"));
  else if (facts.waylandSet && !facts.waylandAnswers)
    reasons.push_back(WaylandDisplay(facts) + " does not answer");
  if (reasons.empty()) return "no display found (neither DISPLAY nor WAYLAND_DISPLAY is set)";
  std::string why = "no window can be opened: " + reasons.front();
  for (std::size_t i = 1; i < reasons.size(); ++i)
    why += "; " + reasons[i];
  return why;
}

const char* const kNotOnTop =
    "on Wayland the window cannot keep itself above other windows; it may be covered";

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
  std::vector<std::string> said;
  auto decided = [&](const std::string& entry, bool asked) {
    const std::string key = KeyOf(entry);
    choice.headless = DrawsNowhere(key);
    if (IsWayland(key) && Works(facts, "xcb")) {
      // On top rather than as asked: only an explicit request is told.
      choice.platform = "xcb";
      if (!facts.requested.empty())
        said.push_back("using xcb rather than " + key +
                       ", where the window could not keep itself above other windows");
    } else {
      if (!asked || KeyOf(entry) != first) {
        choice.platform = entry;
        said.push_back(WhyNot(facts, first) + "; using " + key + " instead");
      }
      if (IsWayland(key)) said.emplace_back(kNotOnTop);
    }
    if (!said.empty()) {
      choice.notice = "tramlet: " + said.front();
      for (std::size_t i = 1; i < said.size(); ++i)
        choice.notice += "; " + said[i];
    }
    return choice;
  };
  for (const std::string& entry : entries)
    if (Works(facts, KeyOf(entry))) return decided(entry, true);
  for (const char* fallback : {"xcb", "wayland"})
    if (Works(facts, fallback)) return decided(fallback, false);
  choice.platform = "offscreen";
  choice.headless = true;
  choice.notice = "tramlet: " + WhyHeadless(facts, first) +
                  "; the proxy runs without a window until stopped (SIGINT or SIGTERM)";
  return choice;
}

TPlatformFacts GatherPlatformFacts() {
  TPlatformFacts facts;
  if (const char* requested = Variable("QT_QPA_PLATFORM")) facts.requested = requested;
  const char* session = Variable("XDG_SESSION_TYPE");
  facts.waylandSession = session && std::string(session) == "wayland";
  facts.xSet = Variable("DISPLAY") != nullptr;
  if (facts.xSet) facts.xName = Variable("DISPLAY");
  facts.xAnswers = XServerAnswers();
  facts.waylandSet = Variable("WAYLAND_DISPLAY") != nullptr;
  if (facts.waylandSet) facts.waylandName = Variable("WAYLAND_DISPLAY");
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
