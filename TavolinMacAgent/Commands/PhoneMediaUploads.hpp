#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "TavolinCore/Foundation/AppPaths.hpp"
#include "TavolinCore/Foundation/TavolinISO8601.hpp"
#include "TavolinCore/Runtime/Clock.hpp"
#include "TavolinMacAgent/Commands/CommandExecutor.hpp"

namespace tavolin {

inline constexpr std::int64_t phoneMediaUploadMaxBytes = 2'000'000'000;
inline constexpr std::int64_t phoneMediaUploadMaxChunkBytes = 786'432;

// One upload between begin and finish or cancel; in memory only.
struct PhoneMediaUploadState {
  std::string uploadId;
  std::string originalFileName;
  std::string sanitizedFileName;
  std::string contentType;
  std::int64_t expectedBytes = 0;
  std::int64_t totalChunks = 0;
  Date startedAt;
  std::filesystem::path stagingDirectory;
  std::filesystem::path stagingURL;
  std::int64_t receivedBytes = 0;
  std::int64_t receivedChunks = 0;
  std::int64_t nextChunkIndex = 0;
};

// 6 to 128 characters, each an ASCII letter, digit, "-" or "_": safe as a path component.
bool isValidPhoneMediaUploadId(std::string_view uploadId);

// A file name that is safe in the day folder, from whatever a phone sent: the last path
// component; every character but letters, digits and " ._-()[]@" replaced by "-" (invalid
// UTF-8 bytes too); runs of "-" made one; white space, "." and "-" trimmed from both ends; at
// most 160 characters and 200 bytes (so a "-n" or UUID suffix still fits the file system's
// 255-byte limit), trimmed again after the cut. Nothing left gives
// "iPhone-Upload-<uploadId>.bin".
std::string sanitizedUploadFileName(std::string_view fileName, std::string_view uploadId);

// Where uploads are staged and where finished ones go.
struct PhoneMediaUploadLocations {
  std::filesystem::path stagingRoot;  // one directory per upload id
  std::filesystem::path finalRoot;    // one "yyyy-MM-dd" folder per local day

  // The data directory's "Uploads/Staging" and the home directory's "Tavolin Uploads".
  static PhoneMediaUploadLocations fromAppPaths(const AppPaths& paths);
};

// "phone_media_upload_begin", "_chunk", "_finish" and "_cancel": a file sent in Base64 chunks,
// appended in order to a staging file (0600, in a 0700 directory per upload), then moved
// under a free name into the day folder. A rejected chunk changes nothing, so it can be sent
// again; finishing never replaces an existing file.
//
// The handlers run on the main actor and share the upload table; they hold it themselves, so
// this object need not outlive them. `clock` must outlive them.
class PhoneMediaUploads {
 public:
  PhoneMediaUploads(PhoneMediaUploadLocations locations, const Clock& clock);

  void registerWith(CommandExecutor& executor) const;

  struct Context;

 private:
  std::shared_ptr<Context> context_;
};

}  // namespace tavolin
