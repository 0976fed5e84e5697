#include "TavolinMacAgent/Commands/CommandResults.hpp"

namespace tavolin::CommandResults {

CompleteCommandPayload succeeded(JSONObject result) {
  return CompleteCommandPayload{.status = std::string(succeededStatus),
                                .result = std::move(result)};
}

CompleteCommandPayload failed(std::string_view reason, JSONObject extra) {
  JSONObject result{{"reason", std::string(reason)}};
  for (const auto& [key, value] : extra) {
    result.set(key, value);
  }
  return CompleteCommandPayload{.status = std::string(failedStatus), .result = std::move(result)};
}

}  // namespace tavolin::CommandResults
