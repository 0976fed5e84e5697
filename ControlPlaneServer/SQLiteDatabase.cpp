#include "ControlPlaneServer/SQLiteDatabase.hpp"

#include <sqlite3.h>

namespace tavolin {

SQLiteDatabase::SQLiteDatabase(const std::filesystem::path& file) {
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(file.c_str(), &database_, flags, nullptr) != SQLITE_OK) {
    const std::string message = database_ != nullptr ? sqlite3_errmsg(database_) : "out of memory";
    sqlite3_close(database_);
    database_ = nullptr;
    throw SQLiteError("Cannot open " + file.string() + ": " + message);
  }
  sqlite3_extended_result_codes(database_, 1);
}

SQLiteDatabase::~SQLiteDatabase() {
  // Statements are scoped to the calls that made them, so none is left to finalise here.
  sqlite3_close(database_);
}

void SQLiteDatabase::execute(std::string_view sql) {
  const std::string text(sql);
  if (sqlite3_exec(database_, text.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
    fail("execute");
}

std::int64_t SQLiteDatabase::changes() const {
  return sqlite3_changes64(database_);
}

void SQLiteDatabase::fail(std::string_view operation) const {
  throw SQLiteError("SQLite " + std::string(operation) + " failed: " + sqlite3_errmsg(database_));
}

SQLiteStatement::SQLiteStatement(SQLiteDatabase& database, std::string_view sql)
    : database_(database) {
  if (sqlite3_prepare_v2(database.native(), sql.data(), static_cast<int>(sql.size()), &statement_,
                         nullptr) != SQLITE_OK) {
    database.fail("prepare");
  }
}

SQLiteStatement::~SQLiteStatement() {
  sqlite3_finalize(statement_);
}

SQLiteStatement& SQLiteStatement::bind(int index, std::string_view text) {
  if (sqlite3_bind_text64(statement_, index, text.data(), text.size(), SQLITE_TRANSIENT,
                          SQLITE_UTF8) != SQLITE_OK) {
    database_.fail("bind");
  }
  return *this;
}

SQLiteStatement& SQLiteStatement::bind(int index, std::int64_t value) {
  if (sqlite3_bind_int64(statement_, index, value) != SQLITE_OK)
    database_.fail("bind");
  return *this;
}

SQLiteStatement& SQLiteStatement::bindBlob(int index, std::span<const std::uint8_t> bytes) {
  if (sqlite3_bind_blob64(statement_, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT) !=
      SQLITE_OK) {
    database_.fail("bind");
  }
  return *this;
}

SQLiteStatement& SQLiteStatement::bindNull(int index) {
  if (sqlite3_bind_null(statement_, index) != SQLITE_OK)
    database_.fail("bind");
  return *this;
}

SQLiteStatement& SQLiteStatement::bindOptional(int index, const std::optional<std::string>& text) {
  return text ? bind(index, std::string_view(*text)) : bindNull(index);
}

bool SQLiteStatement::step() {
  switch (sqlite3_step(statement_)) {
    case SQLITE_ROW:
      return true;
    case SQLITE_DONE:
      return false;
    default:
      database_.fail("step");
  }
}

void SQLiteStatement::run() {
  while (step()) {
  }
}

std::string SQLiteStatement::text(int column) const {
  const auto* bytes = sqlite3_column_text(statement_, column);
  if (bytes == nullptr)
    return {};
  return {reinterpret_cast<const char*>(bytes),
          static_cast<std::size_t>(sqlite3_column_bytes(statement_, column))};
}

std::optional<std::string> SQLiteStatement::optionalText(int column) const {
  if (isNull(column))
    return std::nullopt;
  return text(column);
}

std::int64_t SQLiteStatement::integer(int column) const {
  return sqlite3_column_int64(statement_, column);
}

bool SQLiteStatement::isNull(int column) const {
  return sqlite3_column_type(statement_, column) == SQLITE_NULL;
}

SQLiteTransaction::SQLiteTransaction(SQLiteDatabase& database) : database_(database) {
  database_.execute("SAVEPOINT tavolin");
}

SQLiteTransaction::~SQLiteTransaction() {
  if (!finished_) {
    // Errors are ignored: this runs while another exception is already on its way out.
    sqlite3_exec(database_.native(), "ROLLBACK TO tavolin; RELEASE tavolin", nullptr, nullptr,
                 nullptr);
  }
}

void SQLiteTransaction::commit() {
  database_.execute("RELEASE tavolin");
  finished_ = true;
}

}  // namespace tavolin
