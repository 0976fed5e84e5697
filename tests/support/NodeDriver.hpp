#pragma once

#include <chrono>
#include <string>

#include "TavolinCore/JSON/JSONValue.hpp"
#include "tests/support/ChildProcess.hpp"

namespace tavolin::testing {

// A Node script driven over a line protocol: one JSON request per line on its standard input,
// one JSON answer per line on its standard output, {"ok":true, ...} or {"ok":false,
// "error":...}. Closing its input, when this goes away, is its cue to finish.
class NodeDriver {
 public:
  NodeDriver(std::string script, std::chrono::milliseconds answerTimeout);
  ~NodeDriver();
  NodeDriver(const NodeDriver&) = delete;
  NodeDriver& operator=(const NodeDriver&) = delete;

  // The script's answer, a refusal included; throws when none comes in time, with what the
  // script wrote to standard error.
  JSONObject answer(const JSONObject& request);
  // The answer, which must not be a refusal: throws with it otherwise.
  JSONObject call(const JSONObject& request);

 private:
  ChildProcess process_;
  std::chrono::milliseconds answerTimeout_;
};

}  // namespace tavolin::testing
