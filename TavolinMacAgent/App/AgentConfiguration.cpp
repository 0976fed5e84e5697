#include "TavolinMacAgent/App/AgentConfiguration.hpp"

#include <boost/url/parse.hpp>

namespace tavolin {

bool isAbsoluteHTTPURL(std::string_view text) {
  const auto url = boost::urls::parse_absolute_uri(text);
  return url &&
         (url->scheme_id() == boost::urls::scheme::http ||
          url->scheme_id() == boost::urls::scheme::https) &&
         !url->host().empty();
}

std::string chooseBaseURL(const Environment& environment) {
  if (const auto value = environmentValue(environment, "TAVOLIN_API_URL");
      value && isAbsoluteHTTPURL(*value)) {
    return *value;
  }
  return std::string(kHostedControlPlaneBaseURL);
}

}  // namespace tavolin
