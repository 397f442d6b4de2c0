#pragma once
// Schema of the collector's SQLite database: one row in `requests` per POST the
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
//                  (type, crashTime, expName, ..., expuid, ..., ehType).
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
)SQL";

}  // namespace collector
