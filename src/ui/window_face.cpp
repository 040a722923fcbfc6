#include "ui/window_face.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <optional>

#include "common/system_error.h"
#include "common/version.h"
#include "platform/file_system.h"
#include "platform/shared_library.h"

namespace vellomar {

namespace {

std::string ParentOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Why code in this entry must not be run as this process's user, if it must not: it belongs to
// another user, or a group or everyone may write to it.
std::optional<std::string> Distrust(const FileFacts& facts, const std::string& what) {
  if (facts.owner != 0 && facts.owner != ::geteuid()) return what + " belongs to another user";
  if ((facts.mode & (S_IWGRP | S_IWOTH)) != 0) return "others may write to " + what;
  return std::nullopt;
}

// The checks of the file and its folder, through descriptors so that each is judged as it is
// (the folder followed if it is a link, the file not).
std::optional<std::string> Distrust(const std::string& path) {
  auto folder = OpenFile(ParentOf(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  auto folderFacts = folder ? FactsOf(folder.value().get()) : ErrorOr<FileFacts>::Fail(folder.error());
  if (!folderFacts) return "its folder cannot be examined: " + SystemErrorText(folderFacts.error());
  if (auto why = Distrust(folderFacts.value(), "its folder")) return why;
  auto facts = FactsAt(path);
  if (!facts) return "it cannot be examined: " + SystemErrorText(facts.error());
  if (!facts.value().regular) return "it is not a plain file";
  return Distrust(facts.value(), "it");
}

// The plug-in's entry, when the loaded object is a window face of this very build.
std::optional<std::string> Mismatch(const WindowFaceEntry* entry) {
  if (entry == nullptr || entry->interface != kWindowFaceInterface) return "it is a window face of another kind";
  if (entry->version == nullptr || std::strcmp(entry->version, VELLOMAR_VERSION) != 0) {
    return std::string("it belongs to Vellomar ") + (entry->version != nullptr ? entry->version : "(none)") +
           ", this program is " VELLOMAR_VERSION;
  }
  if (entry->run == nullptr) return "it has no face to run";
  return std::nullopt;
}

WindowFace Load(const std::string& path) {
  WindowFace face;
  face.path = path;
  if (auto why = Distrust(path)) {
    face.problem = *why;
    return face;
  }
  std::string error;
  SharedLibrary plugin = SharedLibrary::Open(path, error);
  if (!plugin) {
    face.problem = error;
    return face;
  }
  auto* entryOf = reinterpret_cast<WindowFaceFunction*>(plugin.Symbol(kWindowFaceSymbol));
  if (entryOf == nullptr) {
    face.problem = std::string("it has no ") + kWindowFaceSymbol;
    return face;
  }
  const WindowFaceEntry* entry = entryOf();
  if (auto why = Mismatch(entry)) {
    face.problem = *why;
    return face;
  }
  face.run = entry->run;
  plugin.Keep();
  return face;
}

}  // namespace

std::vector<std::string> WindowFacePlaces(const std::string& executableFolder) {
  return {executableFolder + "/" + kWindowFacePlugin,
          ParentOf(executableFolder) + "/" VELLOMAR_LIBRARY_FOLDER "/" + kWindowFacePlugin};
}

WindowFace LoadWindowFace(const std::vector<std::string>& places) {
  for (const std::string& path : places) {
    if (KindOf(path) != EntryKind::Missing) return Load(path);
  }
  return WindowFace{};
}

}  // namespace vellomar
