// Child process runner: starts one program with its standard input, output and error on three
// pipes and collects what it writes to output and error separately, in chunks, while the caller's
// pump keeps the window responsive. Qt-free.
#pragma once

#include <functional>
#include <string>
#include <vector>

// Receives one chunk: at most 8,192 bytes read in one go, cut at the first zero byte, with every
// leading and trailing byte of 0x20 or less removed. An all-blank chunk gives "".
using TPipedSink = std::function<void(const std::string& chunk)>;
// Handles pending window messages; called about every 50 ms while the child runs.
using TPipedPump = std::function<void()>;

struct TPipedResult {
  bool Started = false;    // the program could be started
  std::string StartError;  // why not, when it could not ("No such file or directory")
  int ExitStatus = -1;     // exit code, or 128 + signal number; -1 when not started
  int TermSignal = 0;      // the signal that ended the child, 0 when it exited by itself
};

// Runs argv[0] (searched in PATH when it has no "/") with the arguments argv[1..], no shell.
// Every cycle: pump, wait 50 ms (less when the child ends first), read what each pipe holds in
// chunks of at most 8,192 bytes. Once the child has ended, both pipes are read to their end, so
// nothing the child wrote is lost. Returns only after the child has ended. The child's input is
// a pipe that is closed at once, so a child that reads its input sees end-of-file instead of
// waiting forever.
// If the pump or a sink throws, the child is killed and reaped before the exception leaves.
TPipedResult RunPiped(const std::vector<std::string>& argv, const TPipedSink& outLines, const TPipedSink& errLines,
                      const TPipedPump& pump);

// Convenience: collect into string lists (the pump may be empty).
TPipedResult RunPiped(const std::vector<std::string>& argv, std::vector<std::string>& outLines,
                      std::vector<std::string>& errLines, const TPipedPump& pump = {});

// The chunk rule on its own: cut at the first zero byte, trim bytes of 0x20 or less at both ends.
std::string TrimChunk(const char* data, size_t size);
