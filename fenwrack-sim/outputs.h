// fenwrack-sim's output files and the files it reads: no output may be an input or another
// output, and what a run does not keep is removed again.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "fenwrack-sim/options.h"
#include "platform/host/host.h"

namespace fenwrack_sim {

// An output opened before the run, so that a bad path stops everything early; a file is emptied
// only once every output is known to be good.
struct Output {
  std::string name;  // the option, or "standard output"
  std::string path;  // "-": stdout
  host::OutputFile file;

  std::optional<std::string> Open() { return Failed(file.Open(path)); }
  // Written, then closed; stdout stays open for the others.
  std::optional<std::string> Write(const std::string& text) { return Failed(file.Replace(text)); }
  std::optional<std::string> Failed(const std::optional<host::FileError>& error) const {
    if (!error)
      return std::nullopt;
    return name + ": cannot write" + (path == "-" ? "" : " " + path) + ": " + error->reason;
  }
};

// A file that the run reads.
struct Input {
  const char* option;
  std::string path;  // "-": stdin
};

// The outputs of one run, stdout first when the timeline goes there. Unless kept, a file they
// created is removed again however the run ends, out of memory too.
class Outputs {
 public:
  Outputs() {
    // Never moved while the last words may reach them.
    list_.reserve(std::size(kOutputOptions) + 1);
    current_ = this;
  }
  Outputs(const Outputs&) = delete;
  Outputs& operator=(const Outputs&) = delete;
  ~Outputs() {
    current_ = nullptr;
    if (!kept_)
      Discard();
  }

  std::vector<Output>& list() { return list_; }
  void Keep() { kept_ = true; }
  // The last opened first: Windows removes no file that another output still holds open.
  void Discard() noexcept {
    for (auto out = list_.rbegin(); out != list_.rend(); ++out)
      out->file.Discard();
  }
  static Outputs* current() { return current_; }

  std::optional<std::string> Open(const Options& options, const std::vector<Input>& inputs);

 private:
  std::vector<Output> list_;
  bool kept_ = false;
  static inline Outputs* current_ = nullptr;
};

}  // namespace fenwrack_sim
