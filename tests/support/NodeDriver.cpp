#include "tests/support/NodeDriver.hpp"

#include <stdexcept>

namespace tavolin::testing {

NodeDriver::NodeDriver(std::string script, std::chrono::milliseconds answerTimeout)
    : process_({"node", std::move(script)}, {}, ChildProcess::Pipes::allStandard),
      answerTimeout_(answerTimeout) {}

NodeDriver::~NodeDriver() {
  process_.closeInput();
  process_.waitForExit(std::chrono::seconds(30));
}

JSONObject NodeDriver::answer(const JSONObject& request) {
  const std::string line = JSONValue(request).serialize();
  std::optional<std::string> answer;
  if (process_.writeInputLine(line))
    answer = process_.readOutputLine(answerTimeout_);
  if (!answer) {
    std::string errors;
    while (const auto error = process_.readErrorLine(std::chrono::milliseconds(500)))
      errors += *error + "\n";
    throw std::runtime_error("no answer from the driver to " + line + "\n" + errors);
  }
  const JSONValue parsed = JSONValue::parse(*answer);
  if (parsed.object() == nullptr)
    throw std::runtime_error("the driver answered " + line + " with " + *answer);
  return *parsed.object();
}

JSONObject NodeDriver::call(const JSONObject& request) {
  JSONObject answered = answer(request);
  const JSONValue* ok = answered.find("ok");
  if (ok == nullptr || ok->boolean() == nullptr || !*ok->boolean()) {
    throw std::runtime_error("driver refused " + JSONValue(request).serialize() + ": " +
                             JSONValue(answered).serialize());
  }
  return answered;
}

}  // namespace tavolin::testing
