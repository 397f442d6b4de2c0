#include "collector/collector_options.h"

#include <arpa/inet.h>

#include <cstdint>
#include <functional>

#include "collector/web/web_access.h"

namespace collector {
namespace {

// Strict decimal: digits only, within [low, high].
bool ParseInt(const std::string& text, long low, long high, int* out) {
  if (text.empty() || text.size() > 9) return false;
  long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < low || value > high) return false;
  *out = static_cast<int>(value);
  return true;
}

bool IsAddressLiteral(const std::string& text) {
  unsigned char buffer[16];
  return inet_pton(AF_INET, text.c_str(), buffer) == 1 ||
         inet_pton(AF_INET6, text.c_str(), buffer) == 1;
}

// Applies one value option; returns an error text, empty on success.
using ValueSetter = std::function<std::string(const std::string&, CollectorOptions&)>;

const std::map<std::string, ValueSetter>& ValueOptions() {
  static const std::map<std::string, ValueSetter> options = {
      {"--listen",
       [](const std::string& v, CollectorOptions& o) -> std::string {
         if (!IsAddressLiteral(v)) return "--listen needs a numeric IPv4 or IPv6 address, got '" + v + "'";
         o.listen = v;
         return "";
       }},
      {"--port",
       [](const std::string& v, CollectorOptions& o) -> std::string {
         if (!ParseInt(v, 1, 65535, &o.port)) return "--port needs a number from 1 to 65535, got '" + v + "'";
         return "";
       }},
      {"--db",
       [](const std::string& v, CollectorOptions& o) -> std::string {
         if (v.empty()) return "--db needs a file name";
         o.dbPath = v;
         return "";
       }},
      {"--cert",
       [](const std::string& v, CollectorOptions& o) -> std::string {
         if (v.empty()) return "--cert needs a file name";
         o.certPath = v;
         return "";
       }},
      {"--key",
       [](const std::string& v, CollectorOptions& o) -> std::string {
         if (v.empty()) return "--key needs a file name";
         o.keyPath = v;
         return "";
       }},
      {"--stop-file",
       [](const std::string& v, CollectorOptions& o) -> std::string {
         if (v.empty()) return "--stop-file needs a file name";
         o.stopFile = v;
         return "";
       }},
      {"--ready-file",
       [](const std::string& v, CollectorOptions& o) -> std::string {
         if (v.empty()) return "--ready-file needs a file name";
         o.readyFile = v;
         return "";
       }},
      {"--web",
       [](const std::string& v, CollectorOptions& o) -> std::string {
         if (!ParseWebAddress(v, &o.webAddress, &o.webPort)) {
           return "--web needs ADDR:PORT with a numeric address ([ADDR]:PORT for IPv6), got '" + v + "'";
         }
         return "";
       }},
      {"--web-token",
       [](const std::string& v, CollectorOptions& o) -> std::string {
         if (v.empty()) return "--web-token needs a non-empty token";
         o.webToken = v;
         return "";
       }},
      {"--strategy",
       [](const std::string& v, CollectorOptions& o) -> std::string {
         const size_t eq = v.find('=');
         if (eq == std::string::npos || eq == 0) return "--strategy needs KEY=VALUE, got '" + v + "'";
         o.strategy[v.substr(0, eq)] = v.substr(eq + 1);
         return "";
       }},
      {"--status-text",
       [](const std::string& v, CollectorOptions& o) -> std::string {
         if (v.empty()) return "--status-text needs a non-empty text";
         o.statusText = v;
         return "";
       }},
      {"--http-status",
       [](const std::string& v, CollectorOptions& o) -> std::string {
         if (!ParseInt(v, 100, 599, &o.httpStatus)) return "--http-status needs a number from 100 to 599, got '" + v + "'";
         return "";
       }},
      {"--answer-bytes",
       [](const std::string& v, CollectorOptions& o) -> std::string {
         if (!ParseInt(v, 0, 999999999, &o.answerBytes)) {
           return "--answer-bytes needs a number from 0 to 999999999, got '" + v + "'";
         }
         return "";
       }},
      {"--max-body-bytes",
       [](const std::string& v, CollectorOptions& o) -> std::string {
         int bytes = 0;
         if (!ParseInt(v, 1, 2147483647, &bytes)) {
           return "--max-body-bytes needs a number from 1 to 2147483647, got '" + v + "'";
         }
         o.maxBodyBytes = bytes;
         return "";
       }},
      {"--unavailable-status",
       [](const std::string& v, CollectorOptions& o) -> std::string {
         if (v == "0") {
           o.unavailableStatus = 0;
           return "";
         }
         if (!ParseInt(v, 400, 599, &o.unavailableStatus)) {
           return "--unavailable-status needs 0 or a number from 400 to 599, got '" + v + "'";
         }
         return "";
       }},
      {"--delay-ms",
       [](const std::string& v, CollectorOptions& o) -> std::string {
         if (!ParseInt(v, 0, 600000, &o.delayMs)) return "--delay-ms needs a number from 0 to 600000, got '" + v + "'";
         return "";
       }},
  };
  return options;
}

const std::map<std::string, bool CollectorOptions::*>& FlagOptions() {
  static const std::map<std::string, bool CollectorOptions::*> flags = {
      {"--gzip-encoding-header", &CollectorOptions::gzipEncodingHeader},
      {"--plain-body", &CollectorOptions::plainBody},
      {"--drop", &CollectorOptions::drop},
      {"--help", &CollectorOptions::help},
      {"-h", &CollectorOptions::help},
  };
  return flags;
}

}  // namespace

ParseOutcome ParseCollectorArguments(const std::vector<std::string>& args) {
  ParseOutcome outcome;
  CollectorOptions& options = outcome.options;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::string value;
    bool inlineValue = false;
    const size_t eq = name.find('=');
    if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      inlineValue = true;
    }

    const auto flag = FlagOptions().find(name);
    if (flag != FlagOptions().end()) {
      if (inlineValue) {
        outcome.error = name + " takes no value";
        return outcome;
      }
      options.*(flag->second) = true;
      continue;
    }

    const auto setter = ValueOptions().find(name);
    if (setter == ValueOptions().end()) {
      outcome.error = "unknown argument '" + args[i] + "'";
      return outcome;
    }
    if (!inlineValue) {
      if (i + 1 >= args.size()) {
        outcome.error = name + " needs a value";
        return outcome;
      }
      value = args[++i];
    }
    const std::string error = setter->second(value, options);
    if (!error.empty()) {
      outcome.error = error;
      return outcome;
    }
  }

  if (options.certPath.empty() != options.keyPath.empty()) {
    outcome.error = "--cert and --key go together";
    return outcome;
  }
  // The pages show user ids, logs and user values: only the local machine
  // may read them without a token.
  if (options.webPort != 0 && !IsLoopbackAddress(options.webAddress) && options.webToken.empty()) {
    outcome.error = "--web on the non-loopback address " + options.webAddress + " needs --web-token";
    return outcome;
  }
  if (options.webPort == 0 && !options.webToken.empty()) {
    outcome.error = "--web-token goes with --web";
    return outcome;
  }
  outcome.ok = true;
  return outcome;
}

std::string CollectorUsage() {
  return "usage: vextra-collector [--listen ADDR] [--port N] [--db FILE|postgresql://...]\n"
         "                        [--cert FILE --key FILE] [--max-body-bytes N]\n"
         "                        [--unavailable-status 0|N]\n"
         "                        [--strategy KEY=VALUE]... [--status-text TEXT]\n"
         "                        [--http-status N] [--gzip-encoding-header] [--plain-body]\n"
         "                        [--delay-ms N] [--drop] [--answer-bytes N]\n"
         "                        [--stop-file FILE] [--ready-file FILE]\n"
         "                        [--web ADDR:PORT [--web-token TOKEN]]\n"
         "Accepts POST /pb/async over HTTPS, stores each request in the SQLite file of --db\n"
         "(default collector.db), or in the PostgreSQL database of a postgresql:// URI that\n"
         "several collectors may share, and answers user-information requests with the\n"
         "strategy stored there (--strategy replaces it). A body over --max-body-bytes\n"
         "(default 67108864) gets 413. A request the database cannot take is not answered\n"
         "(the connection is closed, so the library sends it again later), or answered\n"
         "with the status of --unavailable-status (e.g. 503).\n"
         "--listen defaults to 127.0.0.1, --port to 443; without\n"
         "--cert/--key a self-signed certificate is made at start. Stops on SIGINT or SIGTERM,\n"
         "or once the file named by --stop-file exists (removed again once the database is closed).\n"
         "--ready-file names a file written once the collector listens. --answer-bytes makes\n"
         "every answer body N bytes long: the usual body, then zero bytes (or cut to N).\n"
         "--web serves the crash groups and reports over HTTP on ADDR:PORT (off by default);\n"
         "an address other than loopback is refused unless --web-token is given, and with a\n"
         "token every page and API call needs it (?token=TOKEN once, or Authorization: Bearer).\n";
}

}  // namespace collector
