#pragma once

#include <string>
#include <utility>

#include "TavolinCore/Foundation/TavolinError.hpp"

namespace tavolin {

// An answer other than success: the HTTP status, the error code written as {"error": code} and
// an optional human-readable detail. Thrown anywhere below the routes and turned into the
// response there.
class ControlPlaneError : public TavolinError {
 public:
  ControlPlaneError(int status, std::string code, std::string detail = {})
      : TavolinError(detail.empty() ? code : code + ": " + detail),
        status_(status),
        code_(std::move(code)),
        detail_(std::move(detail)) {}

  static ControlPlaneError unauthorized() { return {401, "unauthorized"}; }
  static ControlPlaneError forbidden(std::string detail = {}) {
    return {403, "forbidden", std::move(detail)};
  }
  static ControlPlaneError notFound(std::string detail = {}) {
    return {404, "not_found", std::move(detail)};
  }
  static ControlPlaneError conflict(std::string code, std::string detail = {}) {
    return {409, std::move(code), std::move(detail)};
  }
  static ControlPlaneError badRequest(std::string code, std::string detail = {}) {
    return {400, std::move(code), std::move(detail)};
  }

  int status() const { return status_; }
  const std::string& code() const { return code_; }
  const std::string& detail() const { return detail_; }

 private:
  int status_;
  std::string code_;
  std::string detail_;
};

}  // namespace tavolin
