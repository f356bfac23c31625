#include "fenwrack-sim/outputs.h"

namespace fenwrack_sim {

// No output may be an input, nor two outputs one file: refused before anything is written.
std::optional<std::string> Outputs::Open(const Options& options, const std::vector<Input>& inputs) {
  bool toStdout = false;
  for (const auto& path : options.outputs)
    toStdout = toStdout || path == "-";
  if (!toStdout)
    list_.push_back({"standard output", "-", {}});
  for (std::size_t i = 0; i < std::size(kOutputOptions); ++i) {
    if (options.outputs[i])
      list_.push_back({kOutputOptions[i], *options.outputs[i], {}});
  }
  for (const Output& out : list_) {
    const auto written = out.path == "-" ? host::IdentityOfStandard(1) : host::IdentityOf(out.path);
    for (const Input& in : inputs) {
      const auto read = in.path == "-" ? host::IdentityOfStandard(0) : host::IdentityOf(in.path);
      if (written && written == read)
        return out.name + " would overwrite the " + in.option + " file " +
               (in.path == "-" ? "standard input" : in.path);
    }
  }
  for (std::size_t i = 0; i < list_.size(); ++i) {
    if (const auto error = list_[i].Open())
      return error;
    for (std::size_t j = 0; j < i; ++j) {
      if (list_[i].path == "-" ? list_[j].path == "-" : list_[i].file.SameFileAs(list_[j].file))
        return list_[j].name + " and " + list_[i].name + " cannot both write to " +
               (list_[i].path == "-" ? "stdout" : list_[i].path);
    }
  }
  return std::nullopt;
}

}  // namespace fenwrack_sim
