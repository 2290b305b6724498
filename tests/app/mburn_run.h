// Runs the built mburn program in a directory of its own and collects what it
// printed and how it ended.
#pragma once

#include <string>
#include <vector>

struct TRun {
  int Status = -1;  // exit status, or -1 when it did not exit normally
  std::string Out;
  std::string Err;
};

// Runs MBURN_BINARY_DIR/mburn with Args in directory Cwd, with standard error
// a file (not a terminal), and Env ("NAME=VALUE") added to its environment.
TRun RunMburn(const std::vector<std::string>& Args, const std::string& Cwd,
              const std::vector<std::string>& Env = {});
// Runs mburn in the background and, once it has said that the recording
// begins, the shell commands While ($p is mburn's process id); then waits for it.
TRun RunMburnWhileRecording(const std::vector<std::string>& Args, const std::string& While,
                            const std::string& Cwd);
// Runs any program the same way (bsdtar, isoinfo).
TRun RunProgram(const std::string& Program, const std::vector<std::string>& Args,
                const std::string& Cwd, const std::vector<std::string>& Env = {});
// The first word of what `sha256sum FILE` prints (a file of Cwd or a path).
std::string Sha256Sum(const std::string& File, const std::string& Cwd);

// The relative paths of every file under Root, sorted.
std::vector<std::string> FilesUnder(const std::string& Root);
std::string ReadWhole(const std::string& Path);
// Lines of a text, without their line ends.
std::vector<std::string> Lines(const std::string& Text);
