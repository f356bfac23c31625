#include "run/prediction.h"

#include <nlohmann/json.hpp>

namespace run {

std::optional<std::string> ReadTrace(const std::string& text, Prediction& prediction) {
  try {
    nlohmann::json last;
    bool ended = false;
    for (std::size_t at = 0; at < text.size();) {
      std::size_t next = text.find('\n', at);
      next = next == std::string::npos ? text.size() : next;
      if (next > at) {
        last = nlohmann::json::parse(text.begin() + static_cast<std::ptrdiff_t>(at),
                                     text.begin() + static_cast<std::ptrdiff_t>(next));
        if (last.at("event") == "end" && !ended) {
          ended = true;
          prediction.how = last.at("how").get<std::string>();
          if (prediction.how == "exit")
            prediction.code = last.at("code").get<std::int64_t>();
        }
      }
      at = next + 1;
    }
    if (!ended)
      return "trace.jsonl has no end event";
    if (last.at("event") != "verdict")
      return "trace.jsonl does not end with the verdict";
    prediction.operation = last.at("operation").get<std::string>();
    prediction.achieved = last.at("achieved").get<bool>();
    prediction.deciding = last.at("deciding").get<std::string>();
    prediction.details = last.at("details").get<std::vector<std::string>>();
    return std::nullopt;
  } catch (const nlohmann::json::exception&) {
    return "trace.jsonl is not a trace of fenwrack-sim";
  }
}

}  // namespace run
