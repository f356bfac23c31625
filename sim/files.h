// A file or folder of the simulated machine, and what the run did to it.
#pragma once

#include <string>

#include "machine_file/machine_model.h"

namespace sim {

using machine_file::FileDesc;

struct File {
  FileDesc desc;
  std::string key;       // of desc.path
  bool created = false;  // by the run
  std::string appended;  // by the run
};

}  // namespace sim
