#include "mburn_run.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

TRun RunProgram(const std::string& Program, const std::vector<std::string>& Args,
                const std::string& Cwd, const std::vector<std::string>& Env) {
  TRun run;
  char outName[] = "/tmp/mburn-out-XXXXXX";
  char errName[] = "/tmp/mburn-err-XXXXXX";
  const int out = mkstemp(outName);
  const int err = mkstemp(errName);
  if (out < 0 || err < 0) return run;
  std::vector<std::string> argv_ = {Program};
  argv_.insert(argv_.end(), Args.begin(), Args.end());
  std::vector<char*> argv;
  for (auto& a : argv_) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(Cwd.c_str()) != 0) _exit(127);
    for (const auto& e : Env) putenv(const_cast<char*>(e.c_str()));
    const int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    dup2(out, 1);
    dup2(err, 2);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
    run.Status = WEXITSTATUS(status);
  close(out);
  close(err);
  run.Out = ReadWhole(outName);
  run.Err = ReadWhole(errName);
  unlink(outName);
  unlink(errName);
  return run;
}

TRun RunMburn(const std::vector<std::string>& Args, const std::string& Cwd,
              const std::vector<std::string>& Env) {
  return RunProgram(MBURN_BINARY_DIR "/mburn", Args, Cwd, Env);
}

std::string Sha256Sum(const std::string& File, const std::string& Cwd) {
  const TRun r = RunProgram("sha256sum", {File}, Cwd);
  return r.Status == 0 ? r.Out.substr(0, r.Out.find(' ')) : "sha256sum failed: " + r.Err;
}

TRun RunMburnWhileRecording(const std::vector<std::string>& Args, const std::string& While,
                            const std::string& Cwd) {
  const std::string script =
      // Emptied first: else the first look may find the previous run's lines.
      ": >.run.out; \"$0\" \"$@\" >.run.out 2>.run.err & p=$!; i=0; "
      "until grep -q 'Burning CD' .run.out || [ $i -ge 400 ]; do sleep 0.05; i=$((i+1)); done; " +
      While + "; wait $p; s=$?; cat .run.out; cat .run.err >&2; exit $s";
  std::vector<std::string> args = {"-c", script, MBURN_BINARY_DIR "/mburn"};
  args.insert(args.end(), Args.begin(), Args.end());
  return RunProgram("sh", args, Cwd);
}

std::vector<std::string> FilesUnder(const std::string& Root) {
  std::vector<std::string> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(Root, ec); it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (it->is_regular_file()) files.push_back(fs::relative(it->path(), Root).string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string ReadWhole(const std::string& Path) {
  std::ifstream in(Path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> Lines(const std::string& Text) {
  std::vector<std::string> lines;
  std::istringstream in(Text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}
