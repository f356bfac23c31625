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
    regular_ = other.regular_;
    created_ = std::exchange(other.created_, false);
    identity_ = other.identity_;
    name_ = std::move(other.name_);
  }
  return *this;
}

OutputFile::~OutputFile() {
  Close();
}

bool OutputFile::SameFileAs(const OutputFile& other) const {
  return identity_ && identity_ == other.identity_;
}

}  // namespace host
