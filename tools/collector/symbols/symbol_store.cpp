#include "collector/symbols/symbol_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <iostream>

#include "collector/symbols/module_identity.h"

namespace collector {
namespace {

constexpr char kCreateIndex[] =
    "CREATE TABLE IF NOT EXISTS symbol_files(debug_id TEXT, kind TEXT, file_name TEXT, path TEXT, "
    "added_at INTEGER, PRIMARY KEY(debug_id, kind))";
constexpr int kBusyTimeoutMs = 10000;

std::string DirName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Identities are hex digits only, so they are safe as folder names.
bool ValidDebugId(const std::string& id) {
  if (id.empty() || id.size() > 128) return false;
  for (char c : id) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

bool ValidFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

bool MakeDirectory(const std::string& path, std::string* error) {
  if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return true;
  *error = "cannot create " + path + ": " + std::strerror(errno);
  return false;
}

// Writes the bytes under a temporary name beside `path`, flushes them to the
// disk and renames them into place: a reader sees the old file or the new one.
bool WriteFileAtomically(const std::string& path, const std::string& bytes, std::string* error) {
  const std::string temporary = DirName(path) + "/." + BaseName(path) + "." + std::to_string(getpid()) + ".tmp";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot create " + temporary + ": " + std::strerror(errno);
    return false;
  }
  size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = "cannot write " + temporary + ": " + std::strerror(errno);
      close(fd);
      unlink(temporary.c_str());
      return false;
    }
    written += static_cast<size_t>(n);
  }
  if (fsync(fd) != 0 || close(fd) != 0) {
    *error = "cannot write " + temporary + ": " + std::strerror(errno);
    unlink(temporary.c_str());
    return false;
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    *error = "cannot rename " + temporary + " to " + path + ": " + std::strerror(errno);
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

class Database {
 public:
  Database(const std::string& path, bool writable) {
    const int flags = writable ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
    if (sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_FULLMUTEX, nullptr) != SQLITE_OK) {
      error_ = path + ": " + (db_ ? sqlite3_errmsg(db_) : "cannot open");
      return;
    }
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    if (writable && !Exec(kCreateIndex)) return;
    ok_ = true;
  }
  ~Database() { sqlite3_close(db_); }
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }
  sqlite3* get() { return db_; }

  bool Exec(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
      error_ = message ? message : "SQLite error";
      sqlite3_free(message);
      return false;
    }
    return true;
  }

 private:
  sqlite3* db_ = nullptr;
  bool ok_ = false;
  std::string error_;
};

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) { ok_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) == SQLITE_OK; }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  bool ok() const { return ok_; }
  sqlite3_stmt* get() { return stmt_; }
  void Bind(int index, const std::string& text) {
    sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }
  std::string Text(int column) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    return text ? std::string(text, static_cast<size_t>(sqlite3_column_bytes(stmt_, column))) : std::string();
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  bool ok_ = false;
};

bool FileExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

const char* KindText(bool is_debug) { return is_debug ? "debug" : "image"; }

}  // namespace

SymbolStore::SymbolStore(const std::string& db_path)
    : db_path_(db_path), symbols_dir_(DirName(db_path) + "/symbols") {}

StoredSymbols SymbolStore::Find(const std::string& debug_id) const {
  std::string aliased;
  StoredSymbols found = FindRows(debug_id, &aliased);
  // A PE code id names the identity its image was stored under: one step only.
  if (found.image_path.empty() && found.debug_path.empty() && !aliased.empty()) {
    std::string ignored;
    found = FindRows(aliased, &ignored);
  }
  return found;
}

StoredSymbols SymbolStore::FindRows(const std::string& debug_id, std::string* aliased) const {
  StoredSymbols found;
  if (!ValidDebugId(debug_id) || !FileExists(db_path_)) return found;
  Database db(db_path_, false);
  if (!db.ok()) return found;
  Statement select(db.get(), "SELECT kind, path FROM symbol_files WHERE debug_id = ?");
  if (!select.ok()) return found;  // no index yet: nothing was ever added
  select.Bind(1, debug_id);
  while (sqlite3_step(select.get()) == SQLITE_ROW) {
    const std::string kind = select.Text(0);
    if (kind == "alias") {
      *aliased = select.Text(1);
      continue;
    }
    const std::string path = DirName(db_path_) + "/" + select.Text(1);
    if (!FileExists(path)) continue;
    if (kind == "image") found.image_path = path;
    if (kind == "debug") found.debug_path = path;
  }
  return found;
}

std::string SymbolStore::Store(const std::string& debug_id, bool is_debug, const std::string& file_name,
                               const std::string& bytes, std::string* error) {
  if (!ValidDebugId(debug_id)) {
    *error = "the identity \"" + debug_id + "\" is not hex digits";
    return {};
  }
  if (!ValidFileName(file_name)) {
    *error = "\"" + file_name + "\" cannot be a stored file's name";
    return {};
  }
  const std::string stored_name = is_debug ? file_name + ".debug" : file_name;
  const std::string relative = "symbols/" + debug_id + "/" + stored_name;
  const std::string folder = symbols_dir_ + "/" + debug_id;
  const std::string path = DirName(db_path_) + "/" + relative;
  if (!MakeDirectory(symbols_dir_, error) || !MakeDirectory(folder, error)) return {};
  if (!WriteFileAtomically(path, bytes, error)) return {};

  if (!Index(debug_id, KindText(is_debug), stored_name, relative, error)) {
    *error = "cannot index " + path + ": " + *error;
    return {};
  }
  return path;
}

bool SymbolStore::Alias(const std::string& code_id, const std::string& debug_id, std::string* error) {
  if (!ValidDebugId(code_id) || !ValidDebugId(debug_id)) {
    *error = "an alias joins two identities of hex digits";
    return false;
  }
  return Index(code_id, "alias", "", debug_id, error);
}

bool SymbolStore::Index(const std::string& key, const char* kind, const std::string& file_name,
                        const std::string& path, std::string* error) {
  Database db(db_path_, true);
  if (!db.ok()) {
    *error = db.error();
    return false;
  }
  Statement insert(db.get(),
                   "INSERT OR REPLACE INTO symbol_files(debug_id, kind, file_name, path, added_at) VALUES(?, ?, ?, ?, ?)");
  if (!insert.ok()) {
    *error = sqlite3_errmsg(db.get());
    return false;
  }
  insert.Bind(1, key);
  insert.Bind(2, kind);
  insert.Bind(3, file_name);
  insert.Bind(4, path);
  sqlite3_bind_int64(insert.get(), 5, static_cast<sqlite3_int64>(std::time(nullptr)));
  if (sqlite3_step(insert.get()) != SQLITE_DONE) {
    *error = sqlite3_errmsg(db.get());
    return false;
  }
  return true;
}

bool SymbolStore::List(std::vector<Entry>* entries, std::string* error) const {
  entries->clear();
  Database db(db_path_, true);
  if (!db.ok()) {
    *error = db.error();
    return false;
  }
  Statement select(db.get(),
                   "SELECT debug_id, kind, file_name, path, added_at FROM symbol_files ORDER BY debug_id, kind");
  if (!select.ok()) {
    *error = sqlite3_errmsg(db.get());
    return false;
  }
  while (sqlite3_step(select.get()) == SQLITE_ROW) {
    entries->push_back({select.Text(0), select.Text(1), select.Text(2), select.Text(3),
                        static_cast<int64_t>(sqlite3_column_int64(select.get(), 4))});
  }
  return true;
}

namespace {

constexpr char kUsage[] =
    "usage: vextra-collector symbols add [--db PATH] FILE...\n"
    "       vextra-collector symbols list [--db PATH]\n";

// Looks for an image's debug file where its debug link says: beside the image
// or in a ".debug" folder beside it, with the checksum the link records.
// Returns true when it was found and stored; notes why not on `out`.
bool AddLinkedDebugFile(SymbolStore& store, const std::string& image_path, const ModuleIdentity& image,
                        std::ostream& out, std::ostream& err, bool* failed) {
  if (!ValidFileName(image.debuglink_name)) {
    out << "note: " << image_path << ": its debug link names \"" << image.debuglink_name
        << "\", which is not a file name\n";
    return false;
  }
  const std::string folder = DirName(image_path);
  for (const std::string& candidate :
       {folder + "/" + image.debuglink_name, folder + "/.debug/" + image.debuglink_name}) {
    if (!FileExists(candidate)) continue;
    std::string bytes, error;
    if (!ReadWholeFile(candidate, &bytes, &error)) {
      err << "error: " << candidate << ": " << error << "\n";
      *failed = true;
      continue;
    }
    if (DebugLinkCrc(bytes) != image.debuglink_crc) {
      out << "note: " << candidate << ": its checksum does not match the debug link of " << image_path << "\n";
      continue;
    }
    ModuleIdentity debug;
    if (ParseModuleIdentity(bytes, &debug, &error) && !debug.debug_id.empty() && debug.debug_id != image.debug_id) {
      out << "note: " << candidate << ": its identity " << debug.debug_id << " is not " << image.debug_id << "\n";
      continue;
    }
    if (store.Store(image.debug_id, true, BaseName(image_path), bytes, &error).empty()) {
      err << "error: " << candidate << ": " << error << "\n";
      *failed = true;
      return false;
    }
    out << "stored " << candidate << " as " << image.debug_id << " (debug)\n";
    return true;
  }
  out << "note: " << image_path << ": no debug file " << image.debuglink_name << " beside it or in .debug/\n";
  return false;
}

// Stores one file given on the command line; false when it failed.
bool AddFile(SymbolStore& store, const std::string& path, std::ostream& out, std::ostream& err) {
  std::string bytes, error;
  ModuleIdentity identity;
  if (!ReadWholeFile(path, &bytes, &error) || !ParseModuleIdentity(bytes, &identity, &error)) {
    err << "error: " << path << ": " << error << "\n";
    return false;
  }
  if (identity.debug_id.empty()) {
    err << "error: " << path << ": "
        << (identity.format == ModuleFormat::kPe ? "no CodeView (RSDS) record: link it with --build-id"
                                                 : "no GNU build id note: link it with --build-id")
        << "\n";
    return false;
  }
  // A debug file added on its own is stored under its image's name.
  std::string name = BaseName(path);
  if (identity.debug_only && EndsWith(name, ".debug") && name.size() > 6) name.resize(name.size() - 6);
  if (store.Store(identity.debug_id, identity.debug_only, name, bytes, &error).empty()) {
    err << "error: " << path << ": " << error << "\n";
    return false;
  }
  out << "stored " << path << " as " << identity.debug_id << (identity.debug_only ? " (debug)" : " (image)") << "\n";
  bool failed = false;
  // Dumps whose writer leaves the CodeView record out (Wine's dbghelp) still
  // name the image by its code id.
  if (!identity.debug_only && !identity.code_id.empty()) {
    if (store.Alias(identity.code_id, identity.debug_id, &error)) {
      out << "indexed " << path << " by its code id " << identity.code_id << "\n";
    } else {
      err << "error: " << path << ": cannot index its code id: " << error << "\n";
      failed = true;
    }
  }
  if (!identity.debug_only && identity.has_debuglink) AddLinkedDebugFile(store, path, identity, out, err, &failed);
  return !failed;
}

}  // namespace

int RunSymbolsCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.empty() || (args[0] != "add" && args[0] != "list")) {
    err << kUsage;
    return 2;
  }
  std::string db_path = "collector.db";
  std::vector<std::string> files;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--db") {
      if (i + 1 == args.size()) {
        err << "error: --db needs a path\n" << kUsage;
        return 2;
      }
      db_path = args[++i];
    } else if (args[i].rfind("--db=", 0) == 0) {
      db_path = args[i].substr(5);
    } else {
      files.push_back(args[i]);
    }
  }
  SymbolStore store(db_path);
  if (args[0] == "list") {
    if (!files.empty()) {
      err << kUsage;
      return 2;
    }
    std::vector<SymbolStore::Entry> entries;
    std::string error;
    if (!store.List(&entries, &error)) {
      err << "error: " << db_path << ": " << error << "\n";
      return 1;
    }
    for (const SymbolStore::Entry& entry : entries) {
      out << entry.debug_id << " " << entry.kind << " " << entry.file_name << " " << entry.path << "\n";
    }
    return 0;
  }
  if (files.empty()) {
    err << "error: no file to add\n" << kUsage;
    return 2;
  }
  bool failed = false;
  for (const std::string& file : files) {
    if (!AddFile(store, file, out, err)) failed = true;
  }
  return failed ? 1 : 0;
}

int RunSymbolsCommand(const std::vector<std::string>& args) { return RunSymbolsCommand(args, std::cout, std::cerr); }

}  // namespace collector
