#pragma once
// The collector's symbol store: executables, libraries and their separate
// debug files kept under the collector's data directory (the folder of its
// database file), keyed by the identity a minidump's module list carries:
//   symbols/<debug_id>/<file name>          the image
//   symbols/<debug_id>/<file name>.debug    its debug file
// and indexed in the database's `symbol_files` table (a shared PostgreSQL
// database keeps the files' bytes in that table instead, and each collector
// writes them out to a folder of its own when it needs them), which the server polls
// to learn that symbols arrived (the command line and the server are
// different processes). Files appear whole: each is written to a temporary
// name and renamed into place before its index row is written.

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace collector {

struct StoredSymbols {
  std::string image_path;  // either may be empty
  std::string debug_path;
};

class SymbolStore {
 public:
  // data directory = dirname(db_path) for a file; a "postgresql://" URI
  // keeps the files in the database.
  explicit SymbolStore(const std::string& db_path);

  // The stored files of one identity, or empty paths when the index has none
  // (or its file is gone). Opens the database read-only for each call, so any
  // thread and any process may call it while files are being added.
  // A code id indexed by Alias leads to the files of its debug id.
  StoredSymbols Find(const std::string& debug_id) const;

  // Indexes a PE image's code id (see Vextra::minidump::PeCodeId) as another name of debug_id.
  bool Alias(const std::string& code_id, const std::string& debug_id, std::string* error);

  // Copies `bytes` into the store as the image or the debug file of
  // `debug_id` and indexes it; `file_name` is the image's file name (a
  // debug file is stored as "<file_name>.debug"). Replaces an earlier file
  // of the same identity and kind. Returns the stored path, or empty with a
  // reason in *error.
  std::string Store(const std::string& debug_id, bool is_debug, const std::string& file_name, const std::string& bytes,
                    std::string* error);

  struct Entry {
    std::string debug_id, kind, file_name, path;
    int64_t added_at = 0;
  };
  // Every index row, ordered by identity and kind; false with a reason when
  // the database cannot be read.
  bool List(std::vector<Entry>* entries, std::string* error) const;

  const std::string& symbols_dir() const { return symbols_dir_; }

 private:
  // The rows of one key; *aliased is the identity an alias row names.
  StoredSymbols FindRows(const std::string& debug_id, std::string* aliased) const;
  // bytes: the file itself, kept in the row (shared databases only).
  bool Index(const std::string& key, const char* kind, const std::string& file_name, const std::string& path,
             std::string* error, const std::string* bytes = nullptr);

  std::string db_path_;
  bool shared_;  // a PostgreSQL database: the files live in it
  std::string symbols_dir_;
};

// `vextra-collector symbols ...`: args are what follows "symbols".
//   add [--db PATH] FILE...   stores each file under its identity, and an
//                             image's debug file found through its debug link
//   list [--db PATH]          prints the index
// Prints one line per stored file on `out` and one per failure on `err`;
// returns 0 when every file was stored, 1 when any failed, 2 on bad usage.
int RunSymbolsCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int RunSymbolsCommand(const std::vector<std::string>& args);

}  // namespace collector
