// What OutputFile is on every system; opening, writing and closing are each system's own.
#include <utility>

#include "platform/host/host.h"

namespace host {

OutputFile::OutputFile(OutputFile&& other) noexcept {
  *this = std::move(other);
}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, -1);
    standard_ = other.standard_;
    device_ = other.device_;
    regular_ = other.regular_;
    volume_ = other.volume_;
    file_ = other.file_;
  }
  return *this;
}

OutputFile::~OutputFile() {
  Close();
}

bool OutputFile::SameFileAs(const OutputFile& other) const {
  return !device_ && volume_ == other.volume_ && file_ == other.file_;
}

}  // namespace host
