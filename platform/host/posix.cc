#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "platform/host/host.h"

namespace host {

namespace {

FileError Error(int error) {
  switch (error) {
    case ENOENT:
      return {FileError::Kind::kNotFound, "no such file"};
    case EACCES:
    case EPERM:
      return {FileError::Kind::kOther, "permission denied"};
    case EISDIR:
      return {FileError::Kind::kDirectory, "is a directory"};
    case ENOTDIR:
      return {FileError::Kind::kNotFound, "a part of the path is not a directory"};
    case ENOSPC:
      return {FileError::Kind::kOther, "no space left on the device"};
    default: {
      std::string text = std::strerror(error);
      if (!text.empty())
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
      return {FileError::Kind::kOther, text};
    }
  }
}

std::optional<FileError> WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return Error(n < 0 ? errno : ENOSPC);
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return std::nullopt;
}

}  // namespace

void UseSystemLibrariesOnly() {}

std::vector<std::string> Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  return folder + (folder.empty() || folder.back() == '/' ? "" : "/") + name;
}

std::optional<FileError> ReadWholeFile(const std::string& path, std::string& text) {
  const bool standardInput = path == "-";
  const int fd = standardInput ? 0 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return Error(errno);
  const auto done = [&](int error) -> std::optional<FileError> {
    if (!standardInput)
      ::close(fd);
    return error == 0 ? std::nullopt : std::optional(Error(error));
  };
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode))
    return done(EISDIR);
  text.clear();
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return done(n < 0 ? errno : 0);
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

std::optional<FileError> ListFolder(const std::string& path, std::vector<std::string>& names) {
  DIR* folder = ::opendir(path.c_str());
  if (folder == nullptr)
    return Error(errno);
  names.clear();
  errno = 0;
  while (const dirent* entry = ::readdir(folder)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..")
      names.push_back(name);
  }
  const int error = errno;
  ::closedir(folder);
  return error == 0 ? std::nullopt : std::optional(Error(error));
}

std::optional<FileError> WriteStandard(int stream, std::string_view text) {
  return WriteAll(stream, text);
}

void OutputFile::Close() {
  if (handle_ >= 0 && !standard_)
    ::close(static_cast<int>(handle_));
  handle_ = -1;
}

std::optional<FileError> OutputFile::Open(const std::string& path) {
  Close();
  standard_ = path == "-";
  const int fd = standard_ ? 1 : ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0)
    return Error(errno);
  handle_ = fd;
  struct stat info {};
  if (::fstat(fd, &info) != 0)
    return Error(errno);
  if (S_ISDIR(info.st_mode))
    return Error(EISDIR);
  device_ = S_ISCHR(info.st_mode);
  regular_ = S_ISREG(info.st_mode);
  volume_ = info.st_dev;
  file_ = info.st_ino;
  return std::nullopt;
}

std::optional<FileError> OutputFile::Replace(std::string_view text) {
  const int fd = static_cast<int>(handle_);
  if (!standard_ && regular_ && ::ftruncate(fd, 0) != 0)
    return Error(errno);
  if (auto error = WriteAll(fd, text))
    return error;
  if (!standard_) {
    handle_ = -1;
    if (::close(fd) != 0)
      return Error(errno);
  }
  return std::nullopt;
}

}  // namespace host
