#pragma once
// Schema of the collector's database (SQLite as written here; PostgreSQL with
// BIGINT, BYTEA and BIGSERIAL ids, see storage/sql_dialect.cpp): one row in `requests` per POST the
// collector received, decoded or not, and what it answered.
//
//   requests       id, received_at (seconds since the epoch), remote_addr,
//                  method, path, body_size, body (BLOB, exactly as received), decoded (1 when
//                  the envelope was read), decode_error (first failing step,
//                  empty when decoded; requests other than "POST /pb/async"
//                  are kept too, with their method and path named here), answer_status (HTTP status sent, NULL
//                  when the connection was dropped), answer (summary text);
//                  then one column per singular field of the UniPacket
//                  (iVersion, encodeName, iRequestId, sServantName, sFuncName)
//                  and of its RequestPkg envelope (platformId, prodId, ...,
//                  cmd, sBuffer, ..., timeZoneSeconds), named exactly as the
//                  schema fields; NULL when the body could not be decoded.
//   request_headers  request_id, name, value: every HTTP header received.
//   reports        one row per ExceptionUpload of a cmd 830 request: id,
//                  request_id, then one column per singular scalar field
//                  (type, crashTime, expName, ..., expuid, ..., ehType). A
//                  non-empty expuid is stored once: a re-sent report is
//                  recorded as a request only.
//   attachments    id, report_id, type, fileName, size (of data), data (BLOB as
//                  received), inflated (1 when a ".zip" zlib stream was
//                  inflated), content (BLOB: the inflated bytes, or data for
//                  other attachments), error (why a ".zip" could not be inflated).
//   user_infos     one row per cmd 840 request: id, request_id, type, proceName,
//                  deviceId, userId, deviceBootTime.
//   summaries      one row per SummaryInfo: id, user_info_id, startTime,
//                  startType, userId, proceName, sessionId, gatewayIp, coldStart.
//   map_entries    owner ('request', 'report', 'user_info' or 'summary'),
//                  owner_id (the id in that table), map (the field name:
//                  reserved, headers, allStacks, valueMap, userMap), key, value.
//
// What the background analyser derives from each report, and the crash groups:
//   report_analyses  one row per analysed report: state ('pending', 'done',
//                  'failed'), kind ('crash' when it carries "minidump.zip",
//                  else 'error'), error, signature, group_id, the exception,
//                  missing_symbols (space-separated debug ids of modules on the
//                  stacks that had no symbols), analysed_at; while a collector
//                  works on it, state 'working' with owner and claimed_at.
//   stack_frames, dump_threads, dump_modules  the walked dump of a crash report.
//   crash_groups   one row per signature, with report_count, first_seen and
//                  last_seen (crashTime, or the request's receipt when unset).
//   group_days, group_versions, group_users, group_devices, group_apps (the
//                  envelope's bundleId and prodId)  kept up to date as reports
//                  join and leave a group, each with the number of its reports,
//                  so the group list reads only these small tables.
//   symbol_files   written by "symbols add": which debug ids have stored files
//                  (data: the file's bytes in a PostgreSQL database, else NULL
//                  and the file under the database file's folder).
//   strategy       key, value: the valueMap every collector sends in its 840
//                  answers, written by a collector started with --strategy.
//
// Integers are stored as SQLite integers (uint64 fields by their bit pattern),
// bools as 0/1, string fields as TEXT and bytes fields as BLOB.

namespace collector {

inline constexpr const char kSchemaSql[] = R"SQL(
CREATE TABLE IF NOT EXISTS requests (
  id INTEGER PRIMARY KEY, received_at INTEGER, remote_addr TEXT, method TEXT, path TEXT,
  body_size INTEGER, body BLOB, decoded INTEGER, decode_error TEXT,
  answer_status INTEGER, answer TEXT,
  iVersion INTEGER, encodeName TEXT, iRequestId INTEGER, sServantName TEXT, sFuncName TEXT,
  platformId INTEGER, prodId TEXT, bundleId TEXT, version TEXT, channel TEXT, sdkVer TEXT,
  cmd INTEGER, sBuffer BLOB, model TEXT, osVer TEXT, sessionId TEXT,
  strategylastUpdateTime INTEGER, sdkId TEXT, deviceId TEXT, apn TEXT, uploadTime INTEGER,
  imei TEXT, omid TEXT, imsi TEXT, mac TEXT, androidId TEXT, networkType TEXT, idfv TEXT,
  userSetDeviceId TEXT, cachedUuid TEXT, currentVersionUuid TEXT,
  phyMemAll INTEGER, phyMemUsed INTEGER, usedProcMem INTEGER, displayMem TEXT,
  displayCard TEXT, resolution TEXT, displayVersion TEXT, gpu TEXT, osBit INTEGER, cpu TEXT,
  serverEnv TEXT, timeZoneAbbreviation TEXT, timeZoneName TEXT, timeZoneSeconds INTEGER);
CREATE TABLE IF NOT EXISTS request_headers (
  request_id INTEGER, name TEXT, value TEXT);
CREATE TABLE IF NOT EXISTS reports (
  id INTEGER PRIMARY KEY, request_id INTEGER,
  type TEXT, crashTime INTEGER, expName TEXT, expMessage TEXT, expAddr TEXT,
  crashThread TEXT, callStack TEXT, expuid TEXT, crashCount INTEGER, userid TEXT,
  deviceId TEXT, gatewayIp TEXT, coldStart INTEGER, stackBeginAddress INTEGER,
  stackData BLOB, serverSymbolize INTEGER, pidName TEXT, deviceBootTime INTEGER,
  ehType INTEGER);
CREATE TABLE IF NOT EXISTS attachments (
  id INTEGER PRIMARY KEY, report_id INTEGER, type INTEGER, fileName TEXT,
  size INTEGER, data BLOB, inflated INTEGER, content BLOB, error TEXT);
CREATE TABLE IF NOT EXISTS user_infos (
  id INTEGER PRIMARY KEY, request_id INTEGER,
  type INTEGER, proceName TEXT, deviceId TEXT, userId TEXT, deviceBootTime INTEGER);
CREATE TABLE IF NOT EXISTS summaries (
  id INTEGER PRIMARY KEY, user_info_id INTEGER,
  startTime INTEGER, startType INTEGER, userId TEXT, proceName TEXT, sessionId TEXT,
  gatewayIp TEXT, coldStart INTEGER);
CREATE TABLE IF NOT EXISTS map_entries (
  owner TEXT, owner_id INTEGER, map TEXT, key TEXT, value TEXT);
CREATE TABLE IF NOT EXISTS report_analyses (
  report_id INTEGER PRIMARY KEY, state TEXT, kind TEXT, error TEXT, signature TEXT,
  group_id INTEGER, exception_code INTEGER, exception_address INTEGER,
  crashing_thread INTEGER, missing_symbols TEXT, analysed_at INTEGER, owner TEXT, claimed_at INTEGER);
CREATE TABLE IF NOT EXISTS stack_frames (
  report_id INTEGER, thread_id INTEGER, frame_index INTEGER, pc INTEGER, trust TEXT,
  module_name TEXT, module_offset INTEGER, function TEXT, file TEXT, line INTEGER);
CREATE TABLE IF NOT EXISTS dump_threads (
  report_id INTEGER, thread_id INTEGER, faulting INTEGER, error TEXT);
CREATE TABLE IF NOT EXISTS dump_modules (
  report_id INTEGER, module_index INTEGER, name TEXT, base INTEGER, size INTEGER,
  debug_id TEXT, debug_file TEXT, has_symbols INTEGER);
CREATE TABLE IF NOT EXISTS crash_groups (
  id INTEGER PRIMARY KEY, signature TEXT UNIQUE, kind TEXT, title TEXT,
  report_count INTEGER, first_seen INTEGER, last_seen INTEGER);
CREATE TABLE IF NOT EXISTS group_days (
  group_id INTEGER, day INTEGER, count INTEGER, PRIMARY KEY (group_id, day));
CREATE TABLE IF NOT EXISTS group_versions (
  group_id INTEGER, version TEXT, count INTEGER, PRIMARY KEY (group_id, version));
CREATE TABLE IF NOT EXISTS group_users (
  group_id INTEGER, user_id TEXT, count INTEGER, PRIMARY KEY (group_id, user_id));
CREATE TABLE IF NOT EXISTS group_devices (
  group_id INTEGER, device_id TEXT, count INTEGER, PRIMARY KEY (group_id, device_id));
CREATE TABLE IF NOT EXISTS group_apps (
  group_id INTEGER, app TEXT, count INTEGER, PRIMARY KEY (group_id, app));
CREATE TABLE IF NOT EXISTS symbol_files (
  debug_id TEXT, kind TEXT, file_name TEXT, path TEXT, added_at INTEGER, data BLOB,
  PRIMARY KEY (debug_id, kind));
CREATE TABLE IF NOT EXISTS strategy (
  key TEXT PRIMARY KEY, value TEXT);
CREATE UNIQUE INDEX IF NOT EXISTS reports_by_expuid ON reports (expuid) WHERE expuid <> '';
CREATE INDEX IF NOT EXISTS reports_by_request ON reports (request_id);
CREATE INDEX IF NOT EXISTS attachments_by_report ON attachments (report_id);
CREATE INDEX IF NOT EXISTS map_entries_by_owner ON map_entries (owner, owner_id);
CREATE INDEX IF NOT EXISTS analyses_by_group ON report_analyses (group_id, report_id);
CREATE INDEX IF NOT EXISTS analyses_by_state ON report_analyses (state);
CREATE INDEX IF NOT EXISTS frames_by_report ON stack_frames (report_id, thread_id, frame_index);
CREATE INDEX IF NOT EXISTS threads_by_report ON dump_threads (report_id);
CREATE INDEX IF NOT EXISTS modules_by_report ON dump_modules (report_id, module_index);
CREATE INDEX IF NOT EXISTS groups_by_count ON crash_groups (report_count DESC);
)SQL";

// Tables whose rows are read in the order they were written (SQLite's rowid).
inline constexpr const char* kTablesReadByRowid[] = {"dump_threads", "symbol_files"};

}  // namespace collector
