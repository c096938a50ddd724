// Folder mode: a worker process per file, reporting to the parent over a pipe.
#include "veltane/FolderRun.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "veltane/FileRestoration.h"
#include "veltane/FolderPlan.h"
#include "veltane/StopSignals.h"

namespace veltane {
namespace {

namespace fs = std::filesystem;

// Messages from a worker: a type byte, a 32-bit length, then the fields.
enum class Message : uint8_t { Opened = 'O', Progress = 'P', Temporary = 'T', Done = 'D' };

class Packer {
 public:
  template <typename T>
  Packer& Add(const T& value) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
    data.insert(data.end(), bytes, bytes + sizeof value);
    return *this;
  }
  Packer& Add(const std::string& text) {
    Add(static_cast<uint32_t>(text.size()));
    data.insert(data.end(), text.begin(), text.end());
    return *this;
  }
  // Whole or not at all as far as the reader is concerned: it waits for the
  // announced length.
  void Send(int fd, Message type) const {
    std::vector<uint8_t> frame{static_cast<uint8_t>(type)};
    const auto size = static_cast<uint32_t>(data.size());
    frame.insert(frame.end(), reinterpret_cast<const uint8_t*>(&size), reinterpret_cast<const uint8_t*>(&size) + 4);
    frame.insert(frame.end(), data.begin(), data.end());
    for (size_t sent = 0; sent < frame.size();) {
      const ssize_t n = ::write(fd, frame.data() + sent, frame.size() - sent);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;  // the parent is gone; the exit code is all that is left
      sent += static_cast<size_t>(n);
    }
  }

 private:
  std::vector<uint8_t> data;
};

class Unpacker {
 public:
  Unpacker(const uint8_t* data, size_t size) : at(data), end(data + size) {}
  template <typename T>
  T Take() {
    T value{};
    if (static_cast<size_t>(end - at) >= sizeof value) std::memcpy(&value, at, sizeof value), at += sizeof value;
    return value;
  }
  std::string TakeText() {
    const size_t size = std::min<size_t>(Take<uint32_t>(), static_cast<size_t>(end - at));
    std::string text(reinterpret_cast<const char*>(at), size);
    at += size;
    return text;
  }

 private:
  const uint8_t* at;
  const uint8_t* end;
};

// The worker's side: what FileRestoration tells, sent to the parent.
class PipeObserver : public FileObserver {
 public:
  explicit PipeObserver(int fd) : fd(fd) {}
  void Opened(int64_t totalFrames, uint32_t sampleRate) override {
    Packer().Add(totalFrames).Add(sampleRate).Send(fd, Message::Opened);
  }
  void Progress(uint64_t frames) override {
    // A few times a second is all a progress line shows.
    const auto now = std::chrono::steady_clock::now();
    if (now - lastSent < std::chrono::milliseconds(100)) return;
    lastSent = now;
    Packer().Add(frames).Send(fd, Message::Progress);
  }
  void Temporary(const std::string& path) override { Packer().Add(path).Send(fd, Message::Temporary); }

 private:
  int fd;
  std::chrono::steady_clock::time_point lastSent{};
};

[[noreturn]] void WorkerMain(const ToolOptions& options, int fd, const sigset_t& parentMask) {
  // The single-file form's own cleanup on a stop signal, without its message.
  StopSignals::Install(false, true);
  ::signal(SIGPIPE, SIG_IGN);
  ::pthread_sigmask(SIG_SETMASK, &parentMask, nullptr);
  PipeObserver observer(fd);
  FileReport report;
  const ToolStatus status = FileRestoration::Run(options, observer, {}, &report);
  Packer packer;
  packer.Add(static_cast<int32_t>(status.code)).Add(status.message).Add(report.frames).Add(report.sampleRate);
  packer.Add(report.seconds).Add(report.clicks).Add(report.hissDb).Add(static_cast<uint32_t>(report.lost.size()));
  for (const std::string& item : report.lost) packer.Add(item);
  packer.Send(fd, Message::Done);
  ::_exit(static_cast<int>(status.code));
}

// One file's state in the parent.
struct FileState {
  const FolderJob* job = nullptr;
  pid_t pid = -1;
  int fd = -1;
  std::vector<uint8_t> received;
  int64_t totalFrames = -1;
  uint32_t sampleRate = 0;
  uint64_t framesRead = 0;
  std::string temporary;
  bool done = false;  // the worker's report arrived
  bool finished = false;
  ExitCode code = ExitCode::Interrupted;
  std::string message;
  FileReport report;
  bool started = false;
};

void Receive(FileState& file) {
  size_t at = 0;
  while (file.received.size() - at >= 5) {
    uint32_t size = 0;
    std::memcpy(&size, &file.received[at + 1], 4);
    if (file.received.size() - at - 5 < size) break;
    const auto type = static_cast<Message>(file.received[at]);
    Unpacker fields(&file.received[at + 5], size);
    at += 5 + size;
    switch (type) {
      case Message::Opened:
        file.totalFrames = fields.Take<int64_t>();
        file.sampleRate = fields.Take<uint32_t>();
        break;
      case Message::Progress:
        file.framesRead = fields.Take<uint64_t>();
        break;
      case Message::Temporary:
        file.temporary = fields.TakeText();
        break;
      case Message::Done: {
        file.done = true;
        file.code = static_cast<ExitCode>(fields.Take<int32_t>());
        file.message = fields.TakeText();
        FileReport& report = file.report;
        report.frames = fields.Take<uint64_t>();
        report.sampleRate = fields.Take<uint32_t>();
        report.seconds = fields.Take<double>();
        report.clicks = fields.Take<uint64_t>();
        report.hissDb = fields.Take<float>();
        for (uint32_t n = fields.Take<uint32_t>(); n > 0; --n) report.lost.push_back(fields.TakeText());
        break;
      }
    }
  }
  file.received.erase(file.received.begin(), file.received.begin() + static_cast<std::ptrdiff_t>(at));
}

std::string Fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string StatusWord(ExitCode code, bool started) {
  switch (code) {
    case ExitCode::Ok: return "restored";
    case ExitCode::Internal: return "failed (1)";
    case ExitCode::Usage: return "bad arguments (2)";
    case ExitCode::InputMissing: return "missing (3)";
    case ExitCode::InputUnreadable: return "unreadable (4)";
    case ExitCode::InputCorrupt: return "damaged (5)";
    case ExitCode::Unsupported: return "unsupported (6)";
    case ExitCode::OutputUnwritable: return "not written (7)";
    case ExitCode::SameFile: return "same as INPUT (8)";
    case ExitCode::Interrupted: return started ? "interrupted (9)" : "not started (9)";
    case ExitCode::OutputExists: return "exists (10)";
  }
  return "failed";
}

// The progress lines on a terminal: one per running file, redrawn in place
// under whatever was printed above them.
class ProgressLines {
 public:
  ProgressLines(std::ostream& err, bool enabled) : err(err), enabled(enabled) {}

  // A line that stays, printed above the running files.
  void Say(const std::string& line) {
    Clear();
    err << line << "\n";
    drawn = 0;
  }

  void Draw(const std::vector<FileState>& files, bool force) {
    if (!enabled) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - lastDrawn < std::chrono::milliseconds(100)) return;
    lastDrawn = now;
    Clear();
    drawn = 0;
    for (const FileState& file : files) {
      if (!file.started || file.finished) continue;
      std::string bar = "starting";
      if (file.sampleRate == 0) {
        // INPUT is not open yet.
      } else if (file.totalFrames > 0) {
        const int percent = static_cast<int>(std::min<uint64_t>(file.framesRead, static_cast<uint64_t>(file.totalFrames)) *
                                             100 / static_cast<uint64_t>(file.totalFrames));
        bar = "[" + std::string(static_cast<size_t>(percent / 5), '#') + std::string(static_cast<size_t>(20 - percent / 5), ' ') +
              "] " + std::to_string(percent) + "%";
      } else {
        bar = Fixed(static_cast<double>(file.framesRead) / std::max<uint32_t>(file.sampleRate, 1), 0) + " s so far";
      }
      err << "restoring " << bar << "  " << file.job->name << "\n";
      ++drawn;
    }
    err << std::flush;
  }

  void Clear() {
    if (!enabled) return;
    if (drawn > 0) err << "\x1b[" << drawn << "A";
    err << "\r\x1b[J";
  }

 private:
  std::ostream& err;
  bool enabled;
  int drawn = 0;
  std::chrono::steady_clock::time_point lastDrawn{};
};

std::string Table(const std::vector<FileState>& files) {
  size_t width = 4;
  for (const FileState& file : files) width = std::max(width, file.job->name.size());
  char line[512];
  std::string text;
  std::snprintf(line, sizeof line, "%-*s %10s %7s %9s %8s  %s\n", static_cast<int>(width), "file", "duration", "clicks",
                "hiss dB", "speed", "status");
  text += line;
  for (const FileState& file : files) {
    const FileReport& r = file.report;
    const bool ok = file.code == ExitCode::Ok;
    const double duration = static_cast<double>(r.frames) / std::max<uint32_t>(r.sampleRate, 1);
    const std::string seconds = ok ? Fixed(duration, 1) + " s" : "-";
    const std::string clicks = ok ? std::to_string(r.clicks) : "-";
    const std::string hiss = ok && std::isfinite(r.hissDb) ? Fixed(r.hissDb, 1) : "-";
    const std::string speed = ok ? Fixed(duration / std::max(r.seconds, 1e-6), 0) + "x" : "-";
    std::snprintf(line, sizeof line, "%-*s %10s %7s %9s %8s  %s\n", static_cast<int>(width), file.job->name.c_str(),
                  seconds.c_str(), clicks.c_str(), hiss.c_str(), speed.c_str(),
                  StatusWord(file.code, file.started).c_str());
    text += line;
  }
  return text;
}

// Checks and prepares what the parent can before a worker starts: OUTPUT's
// folder, and an OUTPUT that is there already.
ToolStatus Prepare(const FolderJob& job, bool overwrite) {
  std::error_code error;
  const fs::path folder = fs::path(job.output).parent_path();
  if (!folder.empty() && !fs::is_directory(folder, error)) {
    fs::create_directories(folder, error);
    if (error) {
      return ToolStatus::Failure(ExitCode::OutputUnwritable,
                                 "cannot create the folder '" + folder.string() + "': " + error.message() + ".");
    }
  }
  struct stat outputInfo {};
  struct stat inputInfo {};
  if (overwrite || ::lstat(job.output.c_str(), &outputInfo) != 0) return ToolStatus::Success();
  // INPUT itself is left to the worker's own check, which says so.
  if (::stat(job.input.c_str(), &inputInfo) == 0 && ::stat(job.output.c_str(), &outputInfo) == 0 &&
      inputInfo.st_dev == outputInfo.st_dev && inputInfo.st_ino == outputInfo.st_ino) {
    return ToolStatus::Success();
  }
  return ToolStatus::Failure(ExitCode::OutputExists,
                             "'" + job.output + "' exists; --overwrite replaces it.");
}

}  // namespace

int FolderRun::Run(const CommandLine& line, std::ostream& out, std::ostream& err,
                   const ToolEnvironment& environment) {
  const FolderOptions& folder = *line.folder;
  std::vector<FolderJob> jobs;
  if (ToolStatus status = FolderPlan::Make(folder, line.options.spectrogram, &jobs); !status.Ok()) {
    err << "veltane: " << status.message << "\n" << std::flush;
    return static_cast<int>(status.code);
  }

  std::vector<FileState> files(jobs.size());
  for (size_t i = 0; i < jobs.size(); ++i) files[i].job = &jobs[i];
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  const size_t parallel = std::min<size_t>(folder.jobs == 0 ? cores : folder.jobs, jobs.size());
  ProgressLines lines(err, environment.stderrIsTerminal && !line.options.quiet);

  // Stop signals wait while workers run: the parent ends them and reports
  // rather than dying at once and leaving them behind. Each worker unblocks
  // them for itself.
  StopSignals::Hold hold;
  sigset_t workerMask;
  ::pthread_sigmask(SIG_SETMASK, nullptr, &workerMask);
  sigset_t unblocked = workerMask;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigdelset(&unblocked, signal);

  const auto report = [&](FileState& file) {
    file.finished = true;
    if (file.code != ExitCode::Ok && !file.message.empty()) {
      lines.Say("veltane: " + file.job->name + ": " + file.message);
    }
  };

  size_t next = 0;
  size_t running = 0;
  bool stopping = false;
  bool killed = false;
  std::chrono::steady_clock::time_point stopped;
  while (next < files.size() || running > 0) {
    if (!stopping && ((environment.stopRequested && environment.stopRequested()) || StopSignals::Hold::TakePending())) {
      stopping = true;
      stopped = std::chrono::steady_clock::now();
      for (FileState& file : files) {
        if (file.started && !file.finished) ::kill(file.pid, SIGTERM);
      }
    }
    // A worker that ignores SIGTERM (ignored since the start, as nohup does
    // with SIGHUP) is ended for good after a grace period; its temporary
    // file is removed below.
    if (stopping && !killed && std::chrono::steady_clock::now() - stopped > std::chrono::seconds(2)) {
      killed = true;
      for (FileState& file : files) {
        if (file.started && !file.finished) ::kill(file.pid, SIGKILL);
      }
    }
    while (!stopping && running < parallel && next < files.size()) {
      FileState& file = files[next++];
      if (ToolStatus status = Prepare(*file.job, folder.overwrite); !status.Ok()) {
        file.code = status.code;
        file.message = status.message;
        report(file);
        continue;
      }
      int fds[2];
      if (::pipe2(fds, O_CLOEXEC) != 0) {
        file.code = ExitCode::Internal;
        file.message = std::string("cannot start a worker: ") + std::strerror(errno) + ".";
        report(file);
        continue;
      }
      ToolOptions options = line.options;
      options.input = file.job->input;
      options.output = file.job->output;
      options.spectrogram = file.job->picture;
      options.threads = 1;  // the files already share the cores
      const pid_t pid = ::fork();
      if (pid == 0) {
        ::close(fds[0]);
        WorkerMain(options, fds[1], unblocked);
      }
      ::close(fds[1]);
      if (pid < 0) {
        ::close(fds[0]);
        file.code = ExitCode::Internal;
        file.message = std::string("cannot start a worker: ") + std::strerror(errno) + ".";
        report(file);
        continue;
      }
      file.pid = pid;
      file.fd = fds[0];
      file.started = true;
      ++running;
    }
    if (running == 0) break;

    std::vector<pollfd> polled;
    std::vector<FileState*> polledFiles;
    for (FileState& file : files) {
      if (file.started && !file.finished) {
        polled.push_back({file.fd, POLLIN, 0});
        polledFiles.push_back(&file);
      }
    }
    ::poll(polled.data(), polled.size(), 100);
    for (size_t i = 0; i < polled.size(); ++i) {
      if (polled[i].revents == 0) continue;
      FileState& file = *polledFiles[i];
      uint8_t buffer[4096];
      const ssize_t n = ::read(file.fd, buffer, sizeof buffer);
      if (n > 0) {
        file.received.insert(file.received.end(), buffer, buffer + n);
        Receive(file);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      // The worker closed its end: it has ended, or is about to.
      ::close(file.fd);
      int status = 0;
      while (::waitpid(file.pid, &status, 0) < 0 && errno == EINTR) {
      }
      --running;
      if (WIFEXITED(status) && WEXITSTATUS(status) <= static_cast<int>(ExitCode::OutputExists)) {
        file.code = static_cast<ExitCode>(WEXITSTATUS(status));
        if (!file.done && file.code == ExitCode::Interrupted) file.message = "interrupted; OUTPUT was not written.";
      } else {
        // A crash, a kill that gave the worker no chance to clean up, or an
        // exit code of no meaning here (a library that gave up).
        const std::string how = WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                                                    : "exit code " + std::to_string(WEXITSTATUS(status));
        if (!file.temporary.empty()) ::unlink(file.temporary.c_str());
        file.code = stopping ? ExitCode::Interrupted : ExitCode::Internal;
        file.message = stopping ? "interrupted; OUTPUT was not written."
                                : "the restoration ended abnormally (" + how + "); OUTPUT was not written.";
      }
      if (file.code == ExitCode::Ok && !file.report.lost.empty()) {
        lines.Say("veltane: warning: " + file.job->name + ": " + LostSentence(file.report.lost));
      }
      report(file);
    }
    lines.Draw(files, false);
  }
  lines.Clear();
  // Stop signals that came meanwhile have been answered.
  StopSignals::Hold::TakePending();

  int worst = 0;
  ExitCode code = ExitCode::Ok;
  for (const FileState& file : files) {
    if (Severity(file.code) > worst) worst = Severity(file.code), code = file.code;
  }
  if (!line.options.quiet) out << Table(files) << std::flush;
  if (stopping) err << "veltane: interrupted; only the files marked restored were written.\n" << std::flush;
  return static_cast<int>(code);
}

}  // namespace veltane
