#include "TavolinMacAgent/Commands/PhoneMediaUploads.hpp"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <system_error>
#include <unordered_map>
#include <variant>
#include <vector>

#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include "TavolinCore/Foundation/Base64.hpp"
#include "TavolinCore/Foundation/Identifiers.hpp"
#include "TavolinCore/Foundation/SecureFiles.hpp"
#include "TavolinCore/Foundation/UTF8.hpp"
#include "TavolinMacAgent/Commands/CommandPayload.hpp"
#include "TavolinMacAgent/Commands/CommandResults.hpp"

namespace tavolin {

namespace fs = std::filesystem;
using CommandResults::failed;
using CommandResults::succeeded;

namespace {

constexpr std::size_t kMaxNameCharacters = 160;
constexpr std::size_t kMaxNameBytes = 200;
constexpr int kMaxNumberedName = 999;
constexpr std::string_view kAllowedSymbols = " ._-()[]@";
constexpr std::string_view kTrimmed = " .-";

// Unicode letters and digits as the C.UTF-8 locale classifies them; plain ASCII where the
// C library lacks that locale.
bool isLetterOrDigit(char32_t codePoint) {
  static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  if (codePoint < 0x80 || utf8 == nullptr)
    return codePoint < 0x80 && std::isalnum(static_cast<unsigned char>(codePoint));
  return iswalnum_l(static_cast<wint_t>(codePoint), utf8) != 0;
}

// Combining diacritics count as part of the letter they follow (names typed on a phone may
// arrive decomposed), though the locale does not call them letters.
bool isCombiningMark(char32_t codePoint) {
  return (codePoint >= 0x0300 && codePoint <= 0x036F) ||
         (codePoint >= 0x1AB0 && codePoint <= 0x1AFF) ||
         (codePoint >= 0x1DC0 && codePoint <= 0x1DFF) ||
         (codePoint >= 0x20D0 && codePoint <= 0x20FF) ||
         (codePoint >= 0xFE20 && codePoint <= 0xFE2F);
}

// The length of the valid UTF-8 sequence at the start of `text` and its code point, or
// nothing for an invalid byte.
std::optional<std::pair<std::size_t, char32_t>> decodeFirst(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  if (length > text.size() || !isValidUTF8(text.substr(0, length)))
    return std::nullopt;
  char32_t codePoint = length == 1   ? lead
                       : length == 2 ? lead & 0x1F
                       : length == 3 ? lead & 0x0F
                                     : lead & 0x07;
  for (std::size_t i = 1; i < length; ++i)
    codePoint = (codePoint << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
  return std::pair{length, codePoint};
}

std::string_view trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kTrimmed);
  if (first == std::string_view::npos)
    return {};
  return text.substr(first, text.find_last_not_of(kTrimmed) - first + 1);
}

std::string dayFolderName(Date date) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(date);
  std::tm local{};
  localtime_r(&seconds, &local);
  char name[16];
  std::strftime(name, sizeof name, "%Y-%m-%d", &local);
  return name;
}

std::string errnoText(int error) {
  return std::error_code(error, std::generic_category()).message();
}

// Moves `from` to `to` unless something is already there: 0, EEXIST or another errno.
int moveWithoutReplacing(const fs::path& from, const fs::path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
    return 0;
  int error = errno;
  if (error == EINVAL || error == ENOSYS) {
    // A file system without RENAME_NOREPLACE: a hard link never replaces either.
    if (::link(from.c_str(), to.c_str()) == 0) {
      ::unlink(from.c_str());
      return 0;
    }
    error = errno;
  }
  if (error == EXDEV) {
    std::error_code copyError;
    fs::copy_file(from, to, fs::copy_options::none, copyError);
    if (!copyError) {
      fs::remove(from, copyError);
      return 0;
    }
    return copyError == std::errc::file_exists ? EEXIST : copyError.value();
  }
  return error;
}

// Moves the staging file into `folder` under `name`, or under name-2 … name-999 and finally
// name-<UUID> (before the extension) when taken. The final path, or the error text.
std::variant<fs::path, std::string> placeInFolder(const fs::path& staging, const fs::path& folder,
                                                  const std::string& name) {
  const std::size_t dot = name.rfind('.');
  const std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
  const std::string extension = dot == std::string::npos ? "" : name.substr(dot);
  for (int number = 1; number <= kMaxNumberedName + 1; ++number) {
    const std::string candidate = number == 1 ? name
                                  : number <= kMaxNumberedName
                                      ? stem + "-" + std::to_string(number) + extension
                                      : stem + "-" + makeIdentifier("") + extension;
    const fs::path target = folder / candidate;
    const int error = moveWithoutReplacing(staging, target);
    if (error == 0)
      return target;
    if (error != EEXIST)
      return errnoText(error);
  }
  return errnoText(EEXIST);
}

// Writes `bytes` at `offset`; on failure cuts the file back to `offset` so a resent chunk
// starts clean. The error text, or nothing.
std::optional<std::string> writeAt(const fs::path& file, std::int64_t offset,
                                   std::span<const std::uint8_t> bytes) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0)
    return errnoText(errno);
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t count = ::pwrite(fd, bytes.data() + written, bytes.size() - written,
                                   static_cast<off_t>(offset + static_cast<std::int64_t>(written)));
    if (count < 0 && errno == EINTR)
      continue;
    if (count <= 0) {
      const int error = count < 0 ? errno : EIO;
      (void)!::ftruncate(fd, static_cast<off_t>(offset));
      ::close(fd);
      return errnoText(error);
    }
    written += static_cast<std::size_t>(count);
  }
  if (::close(fd) != 0)
    return errnoText(errno);
  return std::nullopt;
}

}  // namespace

bool isValidPhoneMediaUploadId(std::string_view uploadId) {
  if (uploadId.size() < 6 || uploadId.size() > 128)
    return false;
  for (char c : uploadId) {
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                         (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!allowed)
      return false;
  }
  return true;
}

std::string sanitizedUploadFileName(std::string_view fileName, std::string_view uploadId) {
  while (!fileName.empty() && fileName.back() == '/')
    fileName.remove_suffix(1);
  if (const std::size_t slash = fileName.rfind('/'); slash != std::string_view::npos)
    fileName.remove_prefix(slash + 1);

  std::string replaced;
  const auto append = [&](std::string_view piece) {
    if (piece == "-" && !replaced.empty() && replaced.back() == '-')
      return;
    replaced += piece;
  };
  for (std::size_t i = 0; i < fileName.size();) {
    const auto decoded = decodeFirst(fileName.substr(i));
    if (!decoded) {
      append("-");
      ++i;
      continue;
    }
    const auto [length, codePoint] = *decoded;
    const bool kept = isLetterOrDigit(codePoint) || isCombiningMark(codePoint) ||
                      (codePoint < 0x80 && kAllowedSymbols.find(static_cast<char>(codePoint)) !=
                                               std::string_view::npos);
    append(kept ? fileName.substr(i, length) : "-");
    i += length;
  }

  std::string_view name = trimmed(replaced);
  // The cut may end on "-" or "." again, so trim once more after it.
  std::size_t bytes = 0;
  for (std::size_t characters = 0; bytes < name.size() && characters < kMaxNameCharacters;
       ++characters) {
    const std::size_t length = decodeFirst(name.substr(bytes))->first;
    if (bytes + length > kMaxNameBytes)
      break;
    bytes += length;
  }
  name = trimmed(name.substr(0, bytes));
  if (name.empty())
    return "iPhone-Upload-" + std::string(uploadId) + ".bin";
  return std::string(name);
}

PhoneMediaUploadLocations PhoneMediaUploadLocations::fromAppPaths(const AppPaths& paths) {
  return {paths.dataDirectory / "Uploads" / "Staging", paths.homeDirectory / "Tavolin Uploads"};
}

struct PhoneMediaUploads::Context {
  Context(PhoneMediaUploadLocations locations, const Clock& clock)
      : locations(std::move(locations)), clock(clock) {}

  PhoneMediaUploadState* find(const JSONObject& payload) {
    const std::string* uploadId = CommandPayload::string(payload, "uploadId");
    if (uploadId == nullptr)
      return nullptr;
    auto found = uploads.find(*uploadId);
    return found == uploads.end() ? nullptr : &found->second;
  }

  CompleteCommandPayload begin(const JSONObject& payload) {
    const std::string* uploadId = CommandPayload::string(payload, "uploadId");
    if (uploadId == nullptr || !isValidPhoneMediaUploadId(*uploadId))
      return failed("invalid_upload_id");
    const auto byteLength = CommandPayload::integer(payload, "byteLength");
    if (!byteLength || *byteLength < 0 || *byteLength > phoneMediaUploadMaxBytes)
      return failed("invalid_upload_byte_length");
    const auto totalChunks = CommandPayload::integer(payload, "totalChunks");
    if (!totalChunks || *totalChunks < 0)
      return failed("invalid_upload_chunk_count");
    const std::string* fileName = CommandPayload::string(payload, "fileName");
    const std::string* contentType = CommandPayload::string(payload, "contentType");

    const std::string originalFileName = fileName ? *fileName : "iPhone Upload";
    const fs::path stagingDirectory = locations.stagingRoot / *uploadId;
    PhoneMediaUploadState state{
        .uploadId = *uploadId,
        .originalFileName = originalFileName,
        .sanitizedFileName = sanitizedUploadFileName(originalFileName, *uploadId),
        .contentType = contentType ? *contentType : "application/octet-stream",
        .expectedBytes = *byteLength,
        .totalChunks = *totalChunks,
        .startedAt = clock.now(),
        .stagingDirectory = stagingDirectory,
        .stagingURL = stagingDirectory / (*uploadId + ".partial"),
    };
    try {
      ensurePrivateDirectory(locations.stagingRoot);
      ensurePrivateDirectory(state.stagingDirectory);
      fs::remove(state.stagingURL);
    } catch (const fs::filesystem_error& error) {
      return failed("upload_begin_failed", {{"error", error.what()}});
    }
    const int fd = ::open(state.stagingURL.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
      return failed("upload_staging_file_create_failed");
    // The umask may only have narrowed it, but say exactly what we mean.
    ::fchmod(fd, 0600);
    ::close(fd);

    JSONObject result{{"uploadId", state.uploadId},
                      {"fileName", state.sanitizedFileName},
                      {"byteLength", state.expectedBytes},
                      {"totalChunks", state.totalChunks}};
    uploads.insert_or_assign(state.uploadId, std::move(state));
    return succeeded(std::move(result));
  }

  CompleteCommandPayload chunk(const JSONObject& payload) {
    PhoneMediaUploadState* upload = find(payload);
    if (upload == nullptr)
      return failed("unknown_upload");
    const auto chunkIndex = CommandPayload::integer(payload, "chunkIndex");
    if (!chunkIndex || *chunkIndex != upload->nextChunkIndex)
      return failed("upload_chunk_out_of_order", {{"expectedChunkIndex", upload->nextChunkIndex}});
    const std::string* dataBase64 = CommandPayload::string(payload, "dataBase64");
    const auto data = dataBase64 ? base64Decode(*dataBase64) : std::nullopt;
    if (!data)
      return failed("invalid_upload_chunk_data");
    const auto size = static_cast<std::int64_t>(data->size());
    if (size > phoneMediaUploadMaxChunkBytes)
      return failed("upload_chunk_too_large", {{"maxChunkBytes", phoneMediaUploadMaxChunkBytes}});
    if (const auto declared = CommandPayload::integer(payload, "byteLength");
        declared && *declared != size)
      return failed("upload_chunk_byte_length_mismatch");
    if (upload->receivedBytes + size > upload->expectedBytes)
      return failed("upload_exceeds_expected_length");
    if (auto error = writeAt(upload->stagingURL, upload->receivedBytes, *data))
      return failed("upload_chunk_write_failed", {{"error", *error}});

    upload->receivedBytes += size;
    upload->receivedChunks += 1;
    upload->nextChunkIndex += 1;
    return succeeded({{"uploadId", upload->uploadId},
                      {"chunkIndex", *chunkIndex},
                      {"receivedBytes", upload->receivedBytes},
                      {"expectedBytes", upload->expectedBytes},
                      {"receivedChunks", upload->receivedChunks},
                      {"totalChunks", upload->totalChunks}});
  }

  CompleteCommandPayload finish(const JSONObject& payload) {
    PhoneMediaUploadState* upload = find(payload);
    if (upload == nullptr)
      return failed("unknown_upload");
    if (upload->receivedBytes != upload->expectedBytes)
      return failed("upload_incomplete_bytes", {{"receivedBytes", upload->receivedBytes},
                                                {"expectedBytes", upload->expectedBytes}});
    if (upload->receivedChunks != upload->totalChunks)
      return failed("upload_incomplete_chunks", {{"receivedChunks", upload->receivedChunks},
                                                 {"totalChunks", upload->totalChunks}});
    const Date now = clock.now();
    const fs::path dayFolder = locations.finalRoot / dayFolderName(now);
    try {
      ensurePrivateDirectory(locations.finalRoot);
      ensurePrivateDirectory(dayFolder);
    } catch (const fs::filesystem_error& error) {
      return failed("upload_finish_failed", {{"error", error.what()}});
    }
    auto placed = placeInFolder(upload->stagingURL, dayFolder, upload->sanitizedFileName);
    if (const auto* error = std::get_if<std::string>(&placed))
      return failed("upload_finish_failed", {{"error", *error}});
    const fs::path& path = std::get<fs::path>(placed);
    std::error_code ignored;
    fs::remove_all(upload->stagingDirectory, ignored);

    JSONObject result{{"uploadId", upload->uploadId},
                      {"fileName", path.filename().string()},
                      {"path", path.string()},
                      {"byteLength", upload->receivedBytes},
                      {"contentType", upload->contentType},
                      {"createdAt", TavolinISO8601::string(now)}};
    uploads.erase(upload->uploadId);
    return succeeded(std::move(result));
  }

  CompleteCommandPayload cancel(const JSONObject& payload) {
    PhoneMediaUploadState* upload = find(payload);
    if (upload == nullptr)
      return failed("unknown_upload");
    std::error_code ignored;
    fs::remove_all(upload->stagingDirectory, ignored);
    const std::string uploadId = upload->uploadId;
    uploads.erase(uploadId);
    return succeeded({{"uploadId", uploadId}});
  }

  PhoneMediaUploadLocations locations;
  const Clock& clock;
  std::unordered_map<std::string, PhoneMediaUploadState> uploads;
};

namespace {

using Method = CompleteCommandPayload (PhoneMediaUploads::Context::*)(const JSONObject&);

Awaitable<CompleteCommandPayload> answer(std::shared_ptr<PhoneMediaUploads::Context> context,
                                         Method method, const JSONObject& payload) {
  co_return (context.get()->*method)(payload);
}

}  // namespace

PhoneMediaUploads::PhoneMediaUploads(PhoneMediaUploadLocations locations, const Clock& clock)
    : context_(std::make_shared<Context>(std::move(locations), clock)) {}

void PhoneMediaUploads::registerWith(CommandExecutor& executor) const {
  const auto add = [&](std::string type, Method method) {
    executor.registerHandler(std::move(type),
                             [context = context_, method](const JSONObject& payload) {
                               return answer(context, method, payload);
                             });
  };
  add("phone_media_upload_begin", &Context::begin);
  add("phone_media_upload_chunk", &Context::chunk);
  add("phone_media_upload_finish", &Context::finish);
  add("phone_media_upload_cancel", &Context::cancel);
}

}  // namespace tavolin
