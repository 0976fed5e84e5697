#include "TavolinMacAgent/Commands/CommandResults.hpp"

#include "TavolinCore/Foundation/TavolinError.hpp"

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

std::string errorDescription(const std::exception& error) {
  if (const auto* known = dynamic_cast<const TavolinError*>(&error))
    return known->description();
  return error.what();
}

}  // namespace tavolin::CommandResults
