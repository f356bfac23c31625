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

bool Empty(int fd) {
  return ::ftruncate(fd, 0) == 0;
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

void WriteStandardAscii(int stream, std::string_view text) noexcept {
  // Nowhere left to tell when this fails.
  while (!text.empty()) {
    const ssize_t n = ::write(stream, text.data(), text.size());
    if (n <= 0 && errno != EINTR)
      return;
    text.remove_prefix(n > 0 ? static_cast<std::size_t>(n) : 0);
  }
}

std::optional<FileIdentity> IdentityOf(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || S_ISCHR(info.st_mode))
    return std::nullopt;
  return FileIdentity{info.st_dev, info.st_ino};
}

std::optional<FileIdentity> IdentityOfStandard(int stream) {
  struct stat info {};
  if (::fstat(stream, &info) != 0 || S_ISCHR(info.st_mode))
    return std::nullopt;
  return FileIdentity{info.st_dev, info.st_ino};
}

void OutputFile::Close() noexcept {
  if (handle_ >= 0 && !standard_)
    ::close(static_cast<int>(handle_));
  handle_ = -1;
}

std::optional<FileError> OutputFile::Open(const std::string& path) {
  Close();
  standard_ = path == "-";
  created_ = false;
  name_ = path;
  // Whether this creates the file, so that a failed run can take it away again.
  int fd = standard_ ? 1 : ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  created_ = !standard_ && fd >= 0;
  if (fd < 0 && errno == EEXIST)
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0)
    return Error(errno);
  handle_ = fd;
  struct stat info {};
  if (::fstat(fd, &info) != 0)
    return Error(errno);
  if (S_ISDIR(info.st_mode))
    return Error(EISDIR);
  regular_ = S_ISREG(info.st_mode);
  identity_ =
      S_ISCHR(info.st_mode) ? std::nullopt : std::optional(FileIdentity{info.st_dev, info.st_ino});
  return std::nullopt;
}

std::optional<FileError> OutputFile::Replace(std::string_view text) {
  const int fd = static_cast<int>(handle_);
  if (!standard_ && regular_ && !Empty(fd))
    return Error(errno);
  if (auto error = WriteAll(fd, text)) {
    if (!standard_ && regular_)
      Empty(fd);  // rather than half written; nothing more to tell when this fails too
    return error;
  }
  if (!standard_) {
    handle_ = -1;
    if (::close(fd) != 0)
      return Error(errno);
  }
  return std::nullopt;
}

void OutputFile::Discard() noexcept {
  Close();
  if (created_)
    ::unlink(name_.c_str());
  created_ = false;
}

}  // namespace host
