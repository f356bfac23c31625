// What every part of one fenwrack-run shares: its command line, the system it runs on, the
// folder of the programs it starts, and how it tells the terminal.
#pragma once

#include <string>
#include <vector>

#include "run/options.h"
#include "run/run_loop.h"

namespace run {

// `name` in `folder`: one backslash between them, none added after a drive or a separator.
std::string Join(const std::string& folder, const std::string& name);

struct Session {
  Session(const std::vector<std::string>& args, const Options& options, System& system);

  // What it read from its children shows on a terminal as text, never as its controls.
  void Say(const std::string& text);
  void Complain(const std::string& line);
  // With an administrator's rights nothing is started from, or written into, a place that others
  // may change: they would choose the program that runs so, or what its record says.
  bool Trusted(const std::string& what, const std::string& path);
  // One of the programs it starts, beside it.
  std::string Exe(const char* name) const { return Join(folder, name); }

  const std::vector<std::string>& args;
  const Options& options;
  System& system;
  const std::string folder;  // ours, where the other programs are
  const bool elevated;
};

}  // namespace run
