#include "platform/process_global.h"

namespace platform {

// Built now and never destroyed: a thread still running at process exit finds it intact.
void RegisterProcessGlobal(ProcessGlobalBase& global) {
  global.Construct();
}

}  // namespace platform
