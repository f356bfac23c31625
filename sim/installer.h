// A product the simulated installer knows, and whether the run removed it.
#pragma once

#include "machine_file/machine_model.h"

namespace sim {

using machine_file::ProductDesc;

struct Product {
  ProductDesc desc;
  bool removed = false;
};

}  // namespace sim
