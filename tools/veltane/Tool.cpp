// The veltane command: parse, check, restore, report.
#include "veltane/Tool.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

#include "veltane/CommandLine.h"
#include "veltane/ExitCode.h"
#include "veltane/FileRestoration.h"
#include "veltane/FolderRun.h"
#include "veltane/ProgressBar.h"

namespace veltane {
namespace {

std::string Fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string Summary(const ToolOptions& options, const FileReport& report) {
  const double duration = static_cast<double>(report.frames) / std::max<uint32_t>(report.sampleRate, 1);
  const double speed = duration / std::max(report.seconds, 1e-6);
  std::string text = "Restored '" + options.input + "' to '" + options.output + "'.\n";
  text += std::string("  engine       ") + (options.engine == Engine::Modern ? "modern" : "classic") + "\n";
  text += "  duration     " + Fixed(duration, 2) + " s (" + report.description + ")\n";
  text += "  time taken   " + Fixed(report.seconds, 2) + " s, " + Fixed(speed, speed < 10.0 ? 1 : 0) +
          " times real time\n";
  text += "  clicks       " + std::to_string(report.clicks) + " repaired, click meter peak " +
          std::to_string(report.clickPeak) + " of 100\n";
  if (std::isfinite(report.hissDb)) text += "  hiss level   " + Fixed(report.hissDb, 1) + " dBFS\n";
  return text;
}

// The single-file form's progress bar.
class BarObserver : public FileObserver {
 public:
  BarObserver(std::ostream& err, bool enabled) : err(err), enabled(enabled) {}
  void Opened(int64_t totalFrames, uint32_t sampleRate) override {
    bar.emplace(err, enabled, static_cast<uint64_t>(std::max<int64_t>(totalFrames, 0)), sampleRate);
  }
  void Progress(uint64_t frames) override { bar->Update(frames); }
  void Finish() {
    if (bar) bar->Finish();
  }

 private:
  std::ostream& err;
  bool enabled;
  std::optional<ProgressBar> bar;
};

ToolStatus Restore(const ToolOptions& options, std::ostream& out, std::ostream& err,
                   const ToolEnvironment& environment) {
  BarObserver observer(err, environment.stderrIsTerminal && !options.quiet);
  FileReport report;
  const ToolStatus status = FileRestoration::Run(options, observer, environment.stopRequested, &report);
  observer.Finish();
  if (!status.Ok()) return status;
  if (!report.lost.empty()) err << "veltane: warning: " << LostSentence(report.lost) << "\n" << std::flush;
  if (!options.quiet) out << Summary(options, report) << std::flush;
  return ToolStatus::Success();
}

}  // namespace

int RunTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
            const ToolEnvironment& environment) {
  CommandLine commandLine;
  ToolStatus status = ParseCommandLine(args, &commandLine);
  if (status.Ok()) {
    switch (commandLine.action) {
      case ToolAction::ShowHelp:
        out << HelpText();
        return 0;
      case ToolAction::ShowVersion:
        out << VersionText();
        return 0;
      case ToolAction::Restore:
        if (commandLine.folder) return FolderRun::Run(commandLine, out, err, environment);
        status = Restore(commandLine.options, out, err, environment);
        break;
    }
  }
  if (status.Ok()) return 0;
  err << "veltane: " << status.message << "\n" << std::flush;
  return static_cast<int>(status.code);
}

}  // namespace veltane
