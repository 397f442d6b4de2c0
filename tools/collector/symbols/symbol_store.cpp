#include "collector/symbols/symbol_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <utility>
#include <vector>
#include <iostream>

#include "collector/storage/database.h"
#include "collector/symbols/module_identity.h"

namespace collector {
namespace {


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

bool FileExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

const char* KindText(bool is_debug) { return is_debug ? "debug" : "image"; }

}  // namespace

// Where a shared database's files are written out to be read: a folder of
// this machine's own, one per database.
std::string LocalCacheDir(const std::string& location) {
  const char* tmp = std::getenv("TMPDIR");
  return std::string(tmp && *tmp ? tmp : "/tmp") + "/vextra-symbols-" + std::to_string(getuid()) + "-" +
         std::to_string(std::hash<std::string>()(location));
}

SymbolStore::SymbolStore(const std::string& db_path)
    : db_path_(db_path),
      shared_(IsPostgresLocation(db_path)),
      symbols_dir_(shared_ ? LocalCacheDir(db_path) : DirName(db_path) + "/symbols") {}

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
  if (!ValidDebugId(debug_id) || (!shared_ && !FileExists(db_path_))) return found;
  try {
    Database db(db_path_, !shared_);
    Query select(db, "SELECT kind, path, rowid, file_name, LENGTH(data) FROM symbol_files WHERE debug_id = ?");
    select.Bind(1, debug_id);
    std::vector<std::pair<std::string, int64_t>> unpacked;  // kind, row whose bytes are to be written out
    while (select.Step()) {
      const std::string kind = select.Text(0);
      if (kind == "alias") {
        *aliased = select.Text(1);
        continue;
      }
      std::string path;
      if (shared_) {
        // Written out once per stored version: a replaced file has a new row
        // (and a copy of another database's row of that number differs in size).
        path = symbols_dir_ + "/" + debug_id + "/" + std::to_string(select.Int(2)) + "/" + select.Text(3) +
               (kind == "debug" ? ".debug" : "");
        struct stat info;
        if (stat(path.c_str(), &info) != 0 || info.st_size != select.Int(4)) unpacked.emplace_back(path, select.Int(2));
      } else {
        path = DirName(db_path_) + "/" + select.Text(1);
        if (!FileExists(path)) continue;
      }
      if (kind == "image") found.image_path = path;
      if (kind == "debug") found.debug_path = path;
    }
    for (const auto& entry : unpacked) {
      Query bytes(db, "SELECT data FROM symbol_files WHERE rowid = ?");
      bytes.Bind(1, entry.second);
      std::string error;
      const std::string folder = DirName(entry.first);
      if (!bytes.Step() || !MakeDirectory(DirName(DirName(folder)), &error) || !MakeDirectory(DirName(folder), &error) ||
          !MakeDirectory(folder, &error) || !WriteFileAtomically(entry.first, bytes.Text(0), &error)) {
        if (found.image_path == entry.first) found.image_path.clear();
        if (found.debug_path == entry.first) found.debug_path.clear();
      }
    }
  } catch (const std::exception&) {
    return StoredSymbols{};  // no index yet, or the database is away: nothing to walk with
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
  if (shared_) {
    // A shared database keeps the bytes itself, for every collector to find.
    if (!Index(debug_id, KindText(is_debug), stored_name, relative, error, &bytes)) return {};
    return db_path_.substr(0, db_path_.find("://") + 3) + "..." + "/" + relative;
  }
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
                        const std::string& path, std::string* error, const std::string* bytes) {
  try {
    Database db(db_path_);
    db.CreateSchema();
    // Removed and added again, so the row is new and the server's poll sees it.
    Transaction transaction(db);
    Query(db, "DELETE FROM symbol_files WHERE debug_id = ? AND kind = ?").Bind(1, key).Bind(2, std::string(kind)).Run();
    Query insert(db, "INSERT INTO symbol_files (debug_id, kind, file_name, path, added_at, data) VALUES (?, ?, ?, ?, ?, ?)");
    insert.Bind(1, key).Bind(2, std::string(kind)).Bind(3, file_name).Bind(4, path);
    insert.Bind(5, static_cast<int64_t>(std::time(nullptr)));
    if (bytes != nullptr) {
      insert.BindBlob(6, *bytes);
    } else {
      insert.BindNull(6);
    }
    insert.Run();
    transaction.Commit();
    return true;
  } catch (const std::exception& failure) {
    *error = failure.what();
    return false;
  }
}

bool SymbolStore::List(std::vector<Entry>* entries, std::string* error) const {
  entries->clear();
  try {
    Database db(db_path_);
    db.CreateSchema();
    Query select(db, "SELECT debug_id, kind, file_name, path, added_at FROM symbol_files ORDER BY debug_id, kind");
    while (select.Step()) {
      entries->push_back({select.Text(0), select.Text(1), select.Text(2), select.Text(3), select.Int(4)});
    }
    return true;
  } catch (const std::exception& failure) {
    *error = failure.what();
    return false;
  }
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
