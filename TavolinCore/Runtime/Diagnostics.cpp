#include "TavolinCore/Runtime/Diagnostics.hpp"

#include <iostream>
#include <mutex>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "TavolinCore/Foundation/TavolinError.hpp"

namespace tavolin {

void writeDiagnosticLine(std::ostream& sink, std::string_view line) {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  sink << line << '\n' << std::flush;
}

std::string singleLine(std::string text) {
  for (char& character : text) {
    if (static_cast<unsigned char>(character) < 0x20 || character == 0x7F)
      character = ' ';
  }
  return text;
}

std::ostream& standardDiagnostics() {
  return std::cerr;
}

std::string userFacingDescription(const std::exception& error) {
  if (const auto* tavolinError = dynamic_cast<const TavolinError*>(&error))
    return tavolinError->description();
  if (const auto* systemError = dynamic_cast<const boost::system::system_error*>(&error))
    return systemError->code().message();
  return error.what();
}

std::optional<std::string> describeFailure(std::exception_ptr failure) {
  if (!failure)
    return std::nullopt;
  try {
    std::rethrow_exception(failure);
  } catch (const boost::system::system_error& error) {
    if (error.code() == boost::asio::error::operation_aborted)
      return std::nullopt;
    return error.what();
  } catch (const TavolinError& error) {
    return error.description();
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "an unknown exception";
  }
}

}  // namespace tavolin
