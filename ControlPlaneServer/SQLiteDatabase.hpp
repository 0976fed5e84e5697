#pragma once

// A thin RAII layer over the SQLite C API: one connection, prepared statements with typed
// binding and reading, and a transaction guard that rolls back unless committed. Every failure
// throws SQLiteError carrying SQLite's own message. Not thread-safe: one owner thread.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "TavolinCore/Foundation/TavolinError.hpp"

struct sqlite3;
struct sqlite3_stmt;

namespace tavolin {

class SQLiteError : public TavolinError {
 public:
  using TavolinError::TavolinError;
};

class SQLiteDatabase;

class SQLiteStatement {
 public:
  SQLiteStatement(SQLiteDatabase& database, std::string_view sql);
  ~SQLiteStatement();
  SQLiteStatement(const SQLiteStatement&) = delete;
  SQLiteStatement& operator=(const SQLiteStatement&) = delete;

  // Parameters are numbered from 1, as in SQLite. Text and blobs are copied.
  SQLiteStatement& bind(int index, std::string_view text);
  SQLiteStatement& bind(int index, std::int64_t value);
  SQLiteStatement& bindBlob(int index, std::span<const std::uint8_t> bytes);
  SQLiteStatement& bindNull(int index);
  SQLiteStatement& bindOptional(int index, const std::optional<std::string>& text);

  // True while a row is available; false once the statement is done.
  bool step();
  // Runs a statement that returns no rows (or whose rows are of no interest).
  void run();

  // Columns are numbered from 0. A NULL column reads as empty text or 0.
  std::string text(int column) const;
  std::optional<std::string> optionalText(int column) const;
  std::int64_t integer(int column) const;
  bool isNull(int column) const;

 private:
  SQLiteDatabase& database_;
  sqlite3_stmt* statement_ = nullptr;
};

class SQLiteDatabase {
 public:
  // Opens (creating if needed) the database file.
  explicit SQLiteDatabase(const std::filesystem::path& file);
  ~SQLiteDatabase();
  SQLiteDatabase(const SQLiteDatabase&) = delete;
  SQLiteDatabase& operator=(const SQLiteDatabase&) = delete;

  // Runs one or more statements without parameters.
  void execute(std::string_view sql);
  // Rows changed by the last INSERT, UPDATE or DELETE.
  std::int64_t changes() const;

  sqlite3* native() const { return database_; }
  [[noreturn]] void fail(std::string_view operation) const;

 private:
  sqlite3* database_ = nullptr;
};

// A savepoint: outside any transaction it opens one, inside one it nests, so an operation that is
// atomic on its own stays atomic as part of a caller's larger transaction. Rolls back to where it
// began on destruction unless commit() ran.
class SQLiteTransaction {
 public:
  explicit SQLiteTransaction(SQLiteDatabase& database);
  ~SQLiteTransaction();
  SQLiteTransaction(const SQLiteTransaction&) = delete;
  SQLiteTransaction& operator=(const SQLiteTransaction&) = delete;

  void commit();

 private:
  SQLiteDatabase& database_;
  bool finished_ = false;
};

}  // namespace tavolin
