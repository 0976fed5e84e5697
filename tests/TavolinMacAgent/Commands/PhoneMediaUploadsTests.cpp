#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "TavolinCore/Foundation/Base64.hpp"
#include "TavolinCore/Foundation/SecureFiles.hpp"
#include "TavolinMacAgent/Commands/CommandExecutor.hpp"
#include "TavolinMacAgent/Commands/PhoneMediaUploads.hpp"
#include "tests/support/ManualClock.hpp"
#include "tests/support/RunAwaitable.hpp"
#include "tests/support/TemporaryDirectory.hpp"

namespace tavolin {
namespace {

namespace fs = std::filesystem;
using testing::runAwaitable;

fs::perms permissionsOf(const fs::path& path) {
  return fs::status(path).permissions() & fs::perms::mask;
}

class PhoneMediaUploadsTest : public ::testing::Test {
 protected:
  PhoneMediaUploadsTest() {
    using namespace std::chrono;
    // Noon UTC is the same calendar day in nearly every local time zone.
    clock.setNow(sys_days{year{2026} / January / 31} + hours{12});
    PhoneMediaUploads(locations, clock).registerWith(executor);
  }

  CompleteCommandPayload send(std::string_view type, const JSONObject& payload) {
    return runAwaitable(executor.execute(type, payload));
  }

  CompleteCommandPayload begin(const std::string& id, double byteLength, double totalChunks,
                               std::optional<std::string> fileName = std::nullopt) {
    JSONObject payload{{"uploadId", id}, {"byteLength", byteLength}, {"totalChunks", totalChunks}};
    if (fileName)
      payload.set("fileName", *fileName);
    return send("phone_media_upload_begin", payload);
  }

  CompleteCommandPayload chunk(const std::string& id, double index, std::string_view data) {
    return send(
        "phone_media_upload_chunk",
        {{"uploadId", id}, {"chunkIndex", index}, {"dataBase64", base64Encode(byteSpan(data))}});
  }

  CompleteCommandPayload finish(const std::string& id) {
    return send("phone_media_upload_finish", {{"uploadId", id}});
  }

  static std::string reasonOf(const CompleteCommandPayload& answer) {
    const JSONValue* reason = answer.result.find("reason");
    return reason && reason->string() ? *reason->string() : "(" + answer.status + ")";
  }

  static JSONValue field(const CompleteCommandPayload& answer, std::string_view key) {
    const JSONValue* value = answer.result.find(key);
    return value ? *value : JSONValue();
  }

  fs::path stagingFile(const std::string& id) const {
    return locations.stagingRoot / id / (id + ".partial");
  }

  fs::path dayFolder() const { return locations.finalRoot / "2026-01-31"; }

  testing::TemporaryDirectory directory;
  PhoneMediaUploadLocations locations{directory.path() / "data" / "Uploads" / "Staging",
                                      directory.path() / "home" / "Tavolin Uploads"};
  testing::ManualClock clock;
  CommandExecutor executor{nullptr, clock};
};

TEST_F(PhoneMediaUploadsTest, Begin_RejectsBadIdsSizesAndChunkCounts) {
  EXPECT_EQ(reasonOf(begin("abcde", 1, 1)), "invalid_upload_id");
  EXPECT_EQ(reasonOf(begin("abc.def", 1, 1)), "invalid_upload_id");
  EXPECT_EQ(reasonOf(begin("../../x", 1, 1)), "invalid_upload_id");
  EXPECT_EQ(reasonOf(begin(std::string(129, 'a'), 1, 1)), "invalid_upload_id");
  EXPECT_EQ(reasonOf(send("phone_media_upload_begin",
                          {{"uploadId", 123456}, {"byteLength", 1}, {"totalChunks", 1}})),
            "invalid_upload_id");
  EXPECT_EQ(reasonOf(begin("upload-1", 2'000'000'001, 1)), "invalid_upload_byte_length");
  EXPECT_EQ(reasonOf(begin("upload-1", -1, 1)), "invalid_upload_byte_length");
  EXPECT_EQ(reasonOf(send("phone_media_upload_begin",
                          {{"uploadId", "upload-1"}, {"byteLength", "12kB"}, {"totalChunks", 1}})),
            "invalid_upload_byte_length");
  EXPECT_EQ(reasonOf(begin("upload-1", 10, -1)), "invalid_upload_chunk_count");
  EXPECT_EQ(
      reasonOf(send("phone_media_upload_begin", {{"uploadId", "upload-1"}, {"byteLength", 10}})),
      "invalid_upload_chunk_count");
  EXPECT_FALSE(fs::exists(locations.stagingRoot));

  EXPECT_EQ(begin("abcdef", 2'000'000'000, 1).status, "succeeded");
  EXPECT_EQ(begin(std::string(128, 'Z'), 1, 1).status, "succeeded");
  EXPECT_EQ(begin("A-b_9z", 1, 1).status, "succeeded");
}

TEST_F(PhoneMediaUploadsTest, EmptyUpload_FinishesAtOnceIntoTheDayFolder) {
  const auto begun = begin("empty1", 0, 0);
  ASSERT_EQ(begun.status, "succeeded");
  EXPECT_EQ(field(begun, "fileName"), JSONValue("iPhone Upload"));
  EXPECT_EQ(field(begun, "byteLength"), JSONValue(0));

  const auto done = finish("empty1");
  ASSERT_EQ(done.status, "succeeded") << reasonOf(done);
  const fs::path path = *field(done, "path").string();
  EXPECT_EQ(path, dayFolder() / "iPhone Upload");
  EXPECT_EQ(field(done, "fileName"), JSONValue("iPhone Upload"));
  EXPECT_EQ(field(done, "contentType"), JSONValue("application/octet-stream"));
  EXPECT_EQ(field(done, "createdAt"), JSONValue("2026-01-31T12:00:00.000Z"));
  EXPECT_EQ(fs::file_size(path), 0u);
  EXPECT_FALSE(fs::exists(locations.stagingRoot / "empty1"));
  EXPECT_EQ(reasonOf(finish("empty1")), "unknown_upload");
}

TEST_F(PhoneMediaUploadsTest, Chunks_AreTakenOnlyInOrder) {
  ASSERT_EQ(begin("order1", 6, 2, "notes.txt").status, "succeeded");
  const auto early = chunk("order1", 1, "def");
  EXPECT_EQ(reasonOf(early), "upload_chunk_out_of_order");
  EXPECT_EQ(field(early, "expectedChunkIndex"), JSONValue(0));

  const auto first = chunk("order1", 0, "abc");
  ASSERT_EQ(first.status, "succeeded");
  EXPECT_EQ(field(first, "receivedBytes"), JSONValue(3));
  EXPECT_EQ(field(first, "expectedBytes"), JSONValue(6));
  EXPECT_EQ(field(first, "receivedChunks"), JSONValue(1));
  EXPECT_EQ(field(first, "totalChunks"), JSONValue(2));

  const auto repeated = chunk("order1", 0, "abc");
  EXPECT_EQ(reasonOf(repeated), "upload_chunk_out_of_order");
  EXPECT_EQ(field(repeated, "expectedChunkIndex"), JSONValue(1));
  EXPECT_EQ(reasonOf(send("phone_media_upload_chunk",
                          {{"uploadId", "order1"}, {"chunkIndex", "one"}, {"dataBase64", "ZGVm"}})),
            "upload_chunk_out_of_order");

  ASSERT_EQ(chunk("order1", 1, "def").status, "succeeded");
  const auto done = finish("order1");
  ASSERT_EQ(done.status, "succeeded") << reasonOf(done);
  EXPECT_EQ(readFileIfExists(*field(done, "path").string()), "abcdef");
  EXPECT_EQ(reasonOf(chunk("nobody", 0, "x")), "unknown_upload");
}

TEST_F(PhoneMediaUploadsTest, ChunkSizeLimit_IsInclusive) {
  ASSERT_EQ(begin("large1", 2 * 786'433, 2).status, "succeeded");
  const auto tooLarge = chunk("large1", 0, std::string(786'433, 'x'));
  EXPECT_EQ(reasonOf(tooLarge), "upload_chunk_too_large");
  EXPECT_EQ(field(tooLarge, "maxChunkBytes"), JSONValue(786'432));
  const auto largest = chunk("large1", 0, std::string(786'432, 'y'));
  ASSERT_EQ(largest.status, "succeeded") << reasonOf(largest);
  EXPECT_EQ(fs::file_size(stagingFile("large1")), 786'432u);
}

TEST_F(PhoneMediaUploadsTest, RejectedChunk_ChangesNothing) {
  ASSERT_EQ(begin("reject", 5, 2).status, "succeeded");
  ASSERT_EQ(chunk("reject", 0, "ab").status, "succeeded");

  EXPECT_EQ(reasonOf(send("phone_media_upload_chunk",
                          {{"uploadId", "reject"}, {"chunkIndex", 1}, {"dataBase64", "Y2Q=x"}})),
            "invalid_upload_chunk_data");
  EXPECT_EQ(reasonOf(send("phone_media_upload_chunk",
                          {{"uploadId", "reject"}, {"chunkIndex", 1}, {"dataBase64", 42}})),
            "invalid_upload_chunk_data");
  EXPECT_EQ(
      reasonOf(send(
          "phone_media_upload_chunk",
          {{"uploadId", "reject"}, {"chunkIndex", 1}, {"dataBase64", "Y2Rl"}, {"byteLength", 4}})),
      "upload_chunk_byte_length_mismatch");
  EXPECT_EQ(reasonOf(chunk("reject", 1, "cdef")), "upload_exceeds_expected_length");
  EXPECT_EQ(readFileIfExists(stagingFile("reject")), "ab");
  EXPECT_EQ(reasonOf(finish("reject")), "upload_incomplete_bytes");

  const auto resent = send(
      "phone_media_upload_chunk",
      {{"uploadId", "reject"}, {"chunkIndex", 1}, {"dataBase64", "Y2Rl"}, {"byteLength", "3"}});
  ASSERT_EQ(resent.status, "succeeded") << reasonOf(resent);
  EXPECT_EQ(field(resent, "receivedBytes"), JSONValue(5));
  EXPECT_EQ(readFileIfExists(stagingFile("reject")), "abcde");
}

TEST_F(PhoneMediaUploadsTest, Finish_BeforeEverythingArrivedKeepsTheUploadOpen) {
  ASSERT_EQ(begin("finish", 4, 3).status, "succeeded");
  ASSERT_EQ(chunk("finish", 0, "ab").status, "succeeded");
  const auto bytesMissing = finish("finish");
  EXPECT_EQ(reasonOf(bytesMissing), "upload_incomplete_bytes");
  EXPECT_EQ(field(bytesMissing, "receivedBytes"), JSONValue(2));
  EXPECT_EQ(field(bytesMissing, "expectedBytes"), JSONValue(4));

  ASSERT_EQ(chunk("finish", 1, "cd").status, "succeeded");
  const auto chunkMissing = finish("finish");
  EXPECT_EQ(reasonOf(chunkMissing), "upload_incomplete_chunks");
  EXPECT_EQ(field(chunkMissing, "receivedChunks"), JSONValue(2));
  EXPECT_EQ(field(chunkMissing, "totalChunks"), JSONValue(3));

  ASSERT_EQ(chunk("finish", 2, "").status, "succeeded");
  EXPECT_EQ(finish("finish").status, "succeeded");
}

TEST_F(PhoneMediaUploadsTest, SameNameSameDay_GetsANumberBeforeTheExtension) {
  std::vector<std::string> names;
  for (const std::string id : {"first1", "second", "third3"}) {
    ASSERT_EQ(begin(id, 2, 1, "holiday/photo.jpg").status, "succeeded");
    ASSERT_EQ(chunk(id, 0, id.substr(0, 2)).status, "succeeded");
    const auto done = finish(id);
    ASSERT_EQ(done.status, "succeeded") << reasonOf(done);
    names.push_back(*field(done, "fileName").string());
  }
  EXPECT_EQ(names, (std::vector<std::string>{"photo.jpg", "photo-2.jpg", "photo-3.jpg"}));
  EXPECT_EQ(readFileIfExists(dayFolder() / "photo.jpg"), "fi");
  EXPECT_EQ(readFileIfExists(dayFolder() / "photo-2.jpg"), "se");
}

TEST_F(PhoneMediaUploadsTest, Begin_AgainRestartsTheUploadFromZero) {
  ASSERT_EQ(begin("again1", 3, 1).status, "succeeded");
  ASSERT_EQ(chunk("again1", 0, "old").status, "succeeded");
  ASSERT_EQ(begin("again1", 3, 1).status, "succeeded");
  EXPECT_EQ(fs::file_size(stagingFile("again1")), 0u);
  ASSERT_EQ(chunk("again1", 0, "new").status, "succeeded");
  const auto done = finish("again1");
  ASSERT_EQ(done.status, "succeeded");
  EXPECT_EQ(readFileIfExists(*field(done, "path").string()), "new");
}

TEST_F(PhoneMediaUploadsTest, Files_ArePrivateToTheOwner) {
  ASSERT_EQ(begin("perms1", 1, 1).status, "succeeded");
  EXPECT_EQ(permissionsOf(locations.stagingRoot), fs::perms::owner_all);
  EXPECT_EQ(permissionsOf(locations.stagingRoot / "perms1"), fs::perms::owner_all);
  EXPECT_EQ(permissionsOf(stagingFile("perms1")), fs::perms::owner_read | fs::perms::owner_write);
  ASSERT_EQ(chunk("perms1", 0, "x").status, "succeeded");
  const auto done = finish("perms1");
  ASSERT_EQ(done.status, "succeeded");
  EXPECT_EQ(permissionsOf(dayFolder()), fs::perms::owner_all);
  EXPECT_EQ(permissionsOf(*field(done, "path").string()),
            fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(PhoneMediaUploadsTest, Cancel_RemovesTheStagingDirectory) {
  ASSERT_EQ(begin("cancel", 3, 1).status, "succeeded");
  ASSERT_EQ(chunk("cancel", 0, "abc").status, "succeeded");
  const auto cancelled = send("phone_media_upload_cancel", {{"uploadId", "cancel"}});
  ASSERT_EQ(cancelled.status, "succeeded");
  EXPECT_EQ(field(cancelled, "uploadId"), JSONValue("cancel"));
  EXPECT_FALSE(fs::exists(locations.stagingRoot / "cancel"));
  EXPECT_EQ(reasonOf(send("phone_media_upload_cancel", {{"uploadId", "cancel"}})),
            "unknown_upload");
  EXPECT_EQ(reasonOf(finish("cancel")), "unknown_upload");
  EXPECT_FALSE(fs::exists(locations.finalRoot));
}

TEST_F(PhoneMediaUploadsTest, FileSystemErrors_AnswerTheirReasonsAndKeepTheUpload) {
  fs::create_directories(locations.stagingRoot.parent_path());
  std::ofstream(locations.stagingRoot) << "in the way";
  const auto blocked = begin("block1", 1, 1);
  EXPECT_EQ(reasonOf(blocked), "upload_begin_failed");
  EXPECT_TRUE(field(blocked, "error").string());
  fs::remove(locations.stagingRoot);

  ASSERT_EQ(begin("block1", 1, 1).status, "succeeded");
  ASSERT_EQ(chunk("block1", 0, "z").status, "succeeded");
  fs::create_directories(locations.finalRoot.parent_path());
  std::ofstream(locations.finalRoot) << "in the way";
  const auto notMoved = finish("block1");
  EXPECT_EQ(reasonOf(notMoved), "upload_finish_failed");
  EXPECT_TRUE(field(notMoved, "error").string());
  EXPECT_TRUE(fs::exists(stagingFile("block1")));

  fs::remove(locations.finalRoot);
  const auto done = finish("block1");
  ASSERT_EQ(done.status, "succeeded") << reasonOf(done);
  EXPECT_EQ(readFileIfExists(*field(done, "path").string()), "z");
}

TEST(UploadFileNameSanitising, Names_StayInsideTheDayFolder) {
  EXPECT_EQ(sanitizedUploadFileName("../../etc/passwd", "id1234"), "passwd");
  EXPECT_EQ(sanitizedUploadFileName("DCIM/100APPLE/IMG_0001.HEIC", "id1234"), "IMG_0001.HEIC");
  EXPECT_EQ(sanitizedUploadFileName("album/", "id1234"), "album");
  EXPECT_EQ(sanitizedUploadFileName("..", "id1234"), "iPhone-Upload-id1234.bin");
  EXPECT_EQ(sanitizedUploadFileName("%*&!?", "id1234"), "iPhone-Upload-id1234.bin");
  EXPECT_EQ(sanitizedUploadFileName("", "id1234"), "iPhone-Upload-id1234.bin");
  EXPECT_EQ(sanitizedUploadFileName("  .hidden file (1).jpg. ", "id1234"), "hidden file (1).jpg");
  EXPECT_EQ(sanitizedUploadFileName("a***b---c", "id1234"), "a-b-c");
  EXPECT_EQ(sanitizedUploadFileName("a\xff\xfe"
                                    "b",
                                    "id1234"),
            "a-b");
  EXPECT_EQ(sanitizedUploadFileName("a\\b:c\td", "id1234"), "a-b-c-d");
  EXPECT_EQ(sanitizedUploadFileName("Grüße 日本 [2]@home.jpg", "id1234"),
            "Grüße 日本 [2]@home.jpg");
  // e followed by a combining acute accent, as some phones send it.
  EXPECT_EQ(sanitizedUploadFileName("Cafe\xcc\x81.png", "id1234"), "Cafe\xcc\x81.png");
  EXPECT_EQ(sanitizedUploadFileName("emoji 😀.png", "id1234"), "emoji -.png");
}

TEST(UploadFileNameSanitising, LongNames_AreCutAndTrimmedAgain) {
  EXPECT_EQ(sanitizedUploadFileName(std::string(300, 'x'), "id1234"), std::string(160, 'x'));
  EXPECT_EQ(sanitizedUploadFileName(std::string(159, 'a') + ".jpg", "id1234"),
            std::string(159, 'a'));
  // 2-byte letters: 100 fit in 200 bytes.
  std::string accented;
  for (int i = 0; i < 150; ++i)
    accented += "é";
  EXPECT_EQ(sanitizedUploadFileName(accented, "id1234"), accented.substr(0, 200));
  std::string kanji;
  for (int i = 0; i < 100; ++i)
    kanji += "日";
  EXPECT_EQ(sanitizedUploadFileName(kanji, "id1234").size(), 198u);
}

}  // namespace
}  // namespace tavolin
