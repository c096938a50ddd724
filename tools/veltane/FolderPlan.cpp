// Folder mode's list of work.
#include "veltane/FolderPlan.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>

namespace veltane {
namespace {

namespace fs = std::filesystem;

// What libsndfile reads, by the endings its users give such files.
constexpr const char* kAudioEndings[] = {".wav", ".wave", ".bwf", ".rf64", ".w64", ".flac", ".aif", ".aiff",
                                         ".aifc", ".caf", ".au", ".snd", ".ogg", ".oga", ".voc", ".mp3"};

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

// "P.png" and "a/b.wav" give "P-a-b.wav.png", beside P.png.
std::string PictureName(const std::string& spectrogram, const std::string& name) {
  if (spectrogram.empty()) return {};
  fs::path base(spectrogram);
  std::string flat = name;
  std::replace(flat.begin(), flat.end(), '/', '-');
  const std::string stem = Lower(base.extension().string()) == ".png" ? base.stem().string() : base.filename().string();
  return (base.parent_path() / (stem + "-" + flat + ".png")).string();
}

ToolStatus WalkTree(const FolderOptions& folder, std::vector<std::pair<std::string, std::string>>* found) {
  std::error_code error;
  const fs::file_status status = fs::status(folder.tree, error);
  if (!fs::exists(status)) {
    return ToolStatus::Failure(ExitCode::InputMissing, "INDIR '" + folder.tree + "' does not exist.");
  }
  if (!fs::is_directory(status)) {
    return ToolStatus::Failure(ExitCode::InputUnreadable, "INDIR '" + folder.tree + "' is not a folder.");
  }
  // OUTDIR inside INDIR holds restored files, never to be restored again.
  const fs::path outDir = fs::weakly_canonical(folder.outDir, error);
  const fs::path root(folder.tree);
  fs::recursive_directory_iterator walk(root, error);
  for (; !error && walk != fs::recursive_directory_iterator(); walk.increment(error)) {
    const fs::directory_entry& entry = *walk;
    const std::string fileName = entry.path().filename().string();
    std::error_code ignored;
    if (fileName.rfind('.', 0) == 0 || (entry.is_directory(ignored) && fs::equivalent(entry.path(), outDir, ignored))) {
      if (entry.is_directory(ignored)) walk.disable_recursion_pending();
      continue;
    }
    if (entry.is_directory(ignored) || !FolderPlan::IsAudioName(fileName)) continue;
    found->emplace_back(entry.path().string(), entry.path().lexically_relative(root).generic_string());
  }
  if (error) {
    return ToolStatus::Failure(ExitCode::InputUnreadable,
                               "cannot read the folders below INDIR '" + folder.tree + "': " + error.message() + ".");
  }
  std::sort(found->begin(), found->end(), [](const auto& a, const auto& b) { return a.second < b.second; });
  return ToolStatus::Success();
}

}  // namespace

bool FolderPlan::IsAudioName(const std::string& fileName) {
  const std::string ending = Lower(fs::path(fileName).extension().string());
  return std::any_of(std::begin(kAudioEndings), std::end(kAudioEndings),
                     [&ending](const char* known) { return ending == known; });
}

ToolStatus FolderPlan::Make(const FolderOptions& folder, const std::string& spectrogram,
                            std::vector<FolderJob>* jobs) {
  jobs->clear();
  std::vector<std::pair<std::string, std::string>> found;  // INPUT, name below OUTDIR
  if (!folder.tree.empty()) {
    if (ToolStatus status = WalkTree(folder, &found); !status.Ok()) return status;
  } else {
    for (const std::string& input : folder.inputs) {
      found.emplace_back(input, fs::path(input).filename().string());
    }
  }
  std::map<std::string, std::string> taken;  // name below OUTDIR -> its INPUT
  for (const auto& [input, name] : found) {
    if (name.empty() || name == "." || name == "..") {
      return ToolStatus::Failure(ExitCode::Usage, "INPUT '" + input + "' names no file to restore.");
    }
    if (const auto [at, fresh] = taken.emplace(name, input); !fresh) {
      return ToolStatus::Failure(ExitCode::Usage, "INPUTs '" + at->second + "' and '" + input +
                                                      "' would both be restored to '" + name + "' in OUTDIR.");
    }
    jobs->push_back({input, (fs::path(folder.outDir) / name).string(), name, PictureName(spectrogram, name)});
  }
  if (jobs->empty()) {
    return ToolStatus::Failure(ExitCode::InputMissing, "no audio files below INDIR '" + folder.tree + "'.");
  }
  return ToolStatus::Success();
}

}  // namespace veltane
