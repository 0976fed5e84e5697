#include "TavolinMacAgent/App/AgentConfiguration.hpp"

#include <boost/url/parse.hpp>

namespace tavolin {

std::string chooseBaseURL(const Environment& environment) {
  if (const auto value = environmentValue(environment, "TAVOLIN_API_URL")) {
    const auto url = boost::urls::parse_absolute_uri(*value);
    if (url &&
        (url->scheme_id() == boost::urls::scheme::http ||
         url->scheme_id() == boost::urls::scheme::https) &&
        !url->host().empty()) {
      return *value;
    }
  }
  return std::string(kHostedControlPlaneBaseURL);
}

}  // namespace tavolin
