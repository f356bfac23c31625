// The environment, folders and files of the simulated machine.
#include <algorithm>
#include <optional>

#include "platform/platform.h"
#include "sim/call.h"

namespace platform {

namespace {
using namespace sim;
}  // namespace

void FindTraits::Close(RawHandle raw) {
  CloseSimulated(raw);
}

void CrtFileTraits::Close(RawHandle raw) {
  CloseSimulated(raw);
}

std::optional<WString> ReadEnvironment(const WString& name) {
  Call call;
  if (!call)
    return std::nullopt;
  const std::string wanted = U8(name);
  for (const auto& [key, value] : call->machine.environment) {
    if (EqualNoCase(key, wanted)) {
      call->EmitHere(events::ReadEnv{.name = wanted, .value = value});
      return Utf8ToUtf16(value);
    }
  }
  call->EmitHere(events::ReadEnv{.name = wanted, .value = std::nullopt});
  return std::nullopt;
}

std::int32_t GetFolderPath(int csidl, std::uint32_t, char16_t (&path)[kMaxPath]) {
  Call call;
  if (!call)
    return static_cast<std::int32_t>(0x80004005u);
  std::int32_t result = 0;
  events::GetFolder fields{.csidl = csidl};
  if (csidl != kCsidlWindows) {
    result = static_cast<std::int32_t>(0x80070057u);  // E_INVALIDARG
  } else if (Faults(call).windowsFolderUnavailable) {
    result = static_cast<std::int32_t>(0x80004005u);  // E_FAIL
  } else {
    const std::u16string folder = Utf8ToUtf16(call->machine.system.windowsFolder);
    const std::size_t n = std::min(folder.size(), kMaxPath - 1);
    std::copy_n(folder.begin(), n, path);
    path[n] = 0;
    fields.path = U8(folder.substr(0, n));
  }
  fields.hresult = result;
  call->EmitHere(std::move(fields));
  return result;
}

// ---- Files

FindHandle FindFirst(const WString& path) {
  Call call;
  if (!call)
    return FindHandle();
  const bool found = call->Exists(PathKey(U8(path)));
  call->EmitHere(events::FindFile{.path = U8(path), .found = found});
  if (!found)
    return FindHandle();
  HandleObject h;
  h.kind = HandleObject::Kind::kFind;
  return FindHandle(call->NewHandle(std::move(h)));
}

FindHandle FindFirst(const WString& path, std::uint32_t& attributes) {
  FindHandle found = FindFirst(path);
  attributes = 0;
  Call call;
  if (found && call) {
    const std::string key = PathKey(U8(path));
    const File* entry = call->FindEntry(key);
    attributes = call->IsDirectory(key) ? kFileAttributeDirectory : 0;
    if (entry != nullptr && !entry->desc.directory && !entry->desc.writable)
      attributes |= kFileAttributeReadOnly;
  }
  return found;
}

CrtFile OpenCrtFile(const WString& path, const char16_t* mode) {
  Call call;
  if (!call)
    return CrtFile();
  const std::string file = U8(path);
  const std::string how = mode != nullptr ? U8(mode) : "";
  const std::string key = PathKey(file);
  File* entry = call->FindEntry(key);
  const bool plus = how.find('+') != std::string::npos;
  bool ok = false;
  bool writable = false;
  if (!how.empty() && how[0] == 'r') {
    ok = entry != nullptr && !entry->desc.directory && entry->desc.readable &&
         (!plus || entry->desc.writable);
    writable = plus;
  } else if (!how.empty() && (how[0] == 'a' || how[0] == 'w')) {
    writable = true;
    if (entry != nullptr) {
      ok = !entry->desc.directory && entry->desc.writable && (!plus || entry->desc.readable);
      if (ok && how[0] == 'w') {
        entry->desc.content.clear();
        entry->appended.clear();
      }
    } else {
      const std::size_t slash = key.find_last_of('\\');
      if (slash != std::string::npos && call->IsDirectory(key.substr(0, slash))) {
        // Named as the system would list it: under its folder's own spelling.
        const File* folder = call->FindEntry(key.substr(0, slash));
        const std::string normal = NormalPath(file);
        File created;
        created.desc.path =
            folder != nullptr ? NormalPath(folder->desc.path) + "\\" + BaseName(normal) : normal;
        created.key = key;
        created.created = true;
        call->files.push_back(std::move(created));
        ok = true;
      }
    }
  }
  call->EmitHere(events::OpenFile{.path = file, .mode = how, .ok = ok});
  if (!ok)
    return CrtFile();
  HandleObject h;
  h.kind = HandleObject::Kind::kCrtFile;
  h.path = key;
  h.writable = writable;
  h.textMode = how.find('b') == std::string::npos;
  return CrtFile(call->NewHandle(std::move(h)));
}

int WriteCrtText(const CrtFile& file, const char* text) {
  Call call;
  if (!call || text == nullptr)
    return -1;
  const HandleObject* h = HandleOf(call, file.raw(), HandleObject::Kind::kCrtFile);
  File* entry = h != nullptr ? call->FindEntry(h->path) : nullptr;
  if (h == nullptr || !h->writable || entry == nullptr)
    return -1;
  std::string data;
  for (const char* c = text; *c != 0; ++c) {
    if (*c == '\n' && h->textMode)
      data.push_back('\r');
    data.push_back(*c);
  }
  entry->desc.content += data;
  entry->appended += data;
  call->EmitHere(events::FileAppend{.path = entry->desc.path, .data = data});
  return 0;
}

std::size_t ReadCrtBytes(const CrtFile& file, void* buffer, std::size_t size) {
  Call call;
  if (!call)
    return 0;
  HandleObject* h = HandleOf(call, file.raw(), HandleObject::Kind::kCrtFile);
  const File* entry = h != nullptr ? call->FindEntry(h->path) : nullptr;
  if (entry == nullptr)
    return 0;
  std::string text = entry->desc.content;
  if (h->textMode) {  // CR LF reads as LF
    std::string lines;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
        lines.push_back(text[i]);
    }
    text = std::move(lines);
  }
  const std::size_t n = std::min(size, text.size() - std::min(h->cursor, text.size()));
  std::copy_n(text.begin() + static_cast<std::ptrdiff_t>(h->cursor), n, static_cast<char*>(buffer));
  h->cursor += n;
  return n;
}

int FlushCrtFile(const CrtFile& file) {
  Call call;
  return call && HandleOf(call, file.raw(), HandleObject::Kind::kCrtFile) != nullptr ? 0 : -1;
}

bool WriteStandardStream(int stream, std::string_view bytes) {
  Call call;
  if (!call || (stream != 1 && stream != 2))
    return false;
  call->standardStreams[stream - 1].append(bytes);
  return true;
}

}  // namespace platform

// ---- The machine's files and folders, by key.

namespace sim {

Files FilesOf(std::vector<FileDesc> descs) {
  Files files;
  for (FileDesc& f : descs) {
    std::string key = PathKey(f.path);
    files.push_back({std::move(f), std::move(key), false, {}});
  }
  return files;
}

const File* FindEntry(const Files& files, const std::string& key) {
  for (const File& f : files) {
    if (f.key == key)
      return &f;
  }
  return nullptr;
}

bool IsDirectory(const Files& files, const std::string& key) {
  if (key.size() == 2 && key[1] == ':')
    return true;  // a drive's root
  if (const File* f = FindEntry(files, key))
    return f->desc.directory;
  const std::string prefix = key + "\\";
  for (const File& f : files) {
    if (f.key.compare(0, prefix.size(), prefix) == 0)
      return true;
  }
  return false;
}

bool IsFile(const Files& files, const std::string& key) {
  const File* f = FindEntry(files, key);
  return f != nullptr && !f->desc.directory;
}

bool IsPathProtected(const Files& files, const std::string& key) {
  bool ok = Exists(files, key);
  for (std::string at = key; ok && !at.empty();) {
    const File* entry = FindEntry(files, at);
    ok = entry == nullptr || entry->desc.isProtected;
    const std::size_t cut = at.find_last_of('\\');
    at.resize(cut == std::string::npos ? 0 : cut);
  }
  return ok;
}

File* MachineState::FindEntry(const std::string& key) {
  return const_cast<File*>(sim::FindEntry(files, key));
}

}  // namespace sim
