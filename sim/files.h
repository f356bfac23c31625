// A file or folder of the simulated machine, and what the run did to it.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "machine_file/machine_model.h"

namespace sim {

using machine_file::FileDesc;

struct File {
  FileDesc desc;
  std::string key;       // of desc.path
  bool created = false;  // by the run
  std::string appended;  // by the run
};

using Files = std::deque<File>;

// A machine file's files, each with its key: its path as Windows compares paths.
Files FilesOf(std::vector<FileDesc> descs);

// The rules by key that the file calls and what reads a machine without a run (fenwrack-sim's
// verdict) share.
const File* FindEntry(const Files& files, const std::string& key);
bool IsDirectory(const Files& files, const std::string& key);
bool IsFile(const Files& files, const std::string& key);
inline bool Exists(const Files& files, const std::string& key) {
  return IsFile(files, key) || IsDirectory(files, key);
}
// Whether the path exists and nobody but the trusted may change it or a listed folder above it:
// whoever may change a folder may put something else in the place of what it holds.
bool IsPathProtected(const Files& files, const std::string& key);

}  // namespace sim
