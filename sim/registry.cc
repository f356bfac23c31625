// The machine's registry as the tool reads it.
#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "sim/call.h"
#include "sim/registry.h"

namespace platform {

namespace {
using namespace sim;
}  // namespace

void RegKeyTraits::Close(RawHandle raw) {
  CloseSimulated(raw);
}

std::int32_t OpenRegistryKey(RegistryRoot, const WString& subKey, std::uint32_t, std::uint32_t,
                             RegKey& key) {
  constexpr std::int32_t kErrorFileNotFound = 2;
  Call call;
  if (!call)
    return kErrorFileNotFound;
  const std::string path = U8(subKey);
  const std::int32_t status = call->KeyExists(path) ? kErrorSuccess : kErrorFileNotFound;
  call->EmitHere(events::RegOpen{.key = path, .status = status});
  if (status != kErrorSuccess)
    return status;
  HandleObject h;
  h.kind = HandleObject::Kind::kRegKey;
  h.path = path;
  void* raw = call->NewHandle(std::move(h));
  call.lock.unlock();
  key = RegKey(raw);
  return status;
}

std::int32_t QueryRegistryValue(const RegKey& key, const WString& name, std::uint32_t* type,
                                void* data, std::uint32_t* size) {
  constexpr std::int32_t kErrorInvalidHandle = 6;
  constexpr std::int32_t kErrorInvalidParameter = 87;
  Call call;
  if (!call)
    return kErrorInvalidHandle;
  const HandleObject* h = HandleOf(call, key.raw(), HandleObject::Kind::kRegKey);
  if (h == nullptr)
    return kErrorInvalidHandle;
  const std::string valueName = U8(name);
  const RegValueDesc* value = FindRegValue(call->registry, h->path, valueName);
  std::int32_t status = kErrorFileNotFound;
  std::optional<RegValueDesc> shown;
  if (value != nullptr) {
    const std::vector<std::uint8_t> bytes = RegBytes(*value);
    if (type != nullptr) {
      constexpr std::uint32_t kTypes[] = {kRegDword, kRegQword, kRegSz, kRegBinary};
      *type = kTypes[static_cast<int>(value->type)];
    }
    const auto length = static_cast<std::uint32_t>(bytes.size());
    if (size == nullptr) {
      status = data != nullptr ? kErrorInvalidParameter : kErrorSuccess;
    } else if (data != nullptr && length > *size) {
      *size = length;
      status = kErrorMoreData;
    } else {
      if (data != nullptr && length > 0)
        std::memcpy(data, bytes.data(), length);
      *size = length;
      status = kErrorSuccess;
    }
    if (status == kErrorSuccess)
      shown = *value;
  }
  call->EmitHere(events::RegQuery{
      .key = h->path, .name = valueName, .status = status, .value = std::move(shown)});
  return status;
}

}  // namespace platform

// ---- The machine's registry, by key folded as Windows folds it.

namespace sim {

RegKeyDesc* MachineState::FindKey(const std::string& key) {
  return const_cast<RegKeyDesc*>(FindRegKey(registry, key));
}

bool MachineState::KeyExists(const std::string& key) {
  const std::string folded = FoldUtf8(key);
  if (folded.empty())
    return true;
  for (const RegKeyDesc& k : registry) {
    const std::string other = FoldUtf8(k.key);
    if (other == folded || other.compare(0, folded.size() + 1, folded + "\\") == 0)
      return true;
  }
  return false;
}

void MachineState::SetDword(const std::string& key, const std::string& name, std::uint32_t value) {
  RegKeyDesc* k = FindKey(key);
  if (k == nullptr) {
    registry.push_back({key, {}});
    k = &registry.back();
  }
  RegValueDesc v;
  v.name = name;
  v.type = RegType::kDword;
  v.number = value;
  for (RegValueDesc& existing : k->values) {
    if (EqualNoCase(existing.name, name)) {
      v.name = existing.name;
      existing = v;
      return;
    }
  }
  k->values.push_back(v);
}

}  // namespace sim
