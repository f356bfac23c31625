#include "sim/run_result.h"

#include <type_traits>

namespace sim {

std::vector<Event> RunResult::Named(const std::string& name) const {
  std::vector<Event> out;
  for (const Event& e : events) {
    if (e.event == name)
      out.push_back(e);
  }
  return out;
}

const char* EndHowName(EndHow how) {
  switch (how) {
    case EndHow::kExit:
      return "exit";
    case EndHow::kPowerOff:
      return "power-off";
    case EndHow::kReboot:
      return "reboot";
    case EndHow::kStuck:
      return "stuck";
  }
  return "exit";
}

namespace {

template <typename T>
struct IsIfSet : std::false_type {};
template <typename T>
struct IsIfSet<events::IfSet<T>> : std::true_type {};
template <typename T>
struct IsOptional : std::false_type {};
template <typename T>
struct IsOptional<std::optional<T>> : std::true_type {};

nlohmann::json ValueJson(EndHow how) {
  return EndHowName(how);
}
nlohmann::json ValueJson(const machine_file::RegValueDesc& value) {
  return machine_file::RegDataJson(value);
}
nlohmann::json ValueJson(events::Message message) {
  const char* name = events::MessageName(message);
  return name != nullptr ? nlohmann::json(name) : nlohmann::json(message.number);
}
template <typename T>
nlohmann::json ValueJson(const T& value) {
  return value;
}

// Writes each field: an IfSet without a value is left out, an optional without one is null.
struct Writer {
  nlohmann::json& out;
  template <typename T>
  void operator()(const char* key, const T& value) const {
    if constexpr (IsIfSet<T>::value) {
      if (value)
        out[key] = ValueJson(*value);
    } else if constexpr (IsOptional<T>::value) {
      out[key] = value ? ValueJson(*value) : nlohmann::json(nullptr);
    } else {
      out[key] = ValueJson(value);
    }
  }
};

}  // namespace

nlohmann::json FieldsJson(const Event& event) {
  nlohmann::json out = nlohmann::json::object();
  std::visit([&out](const auto& e) { std::decay_t<decltype(e)>::Fields(e, Writer{out}); },
             event.fields);
  return out;
}

}  // namespace sim
