#pragma once
// Names shared by the layers that build, store and send reports: the command
// and report-type numbers of the protocol and the directory names of the
// workspace. Written here once; every layer includes this header.

#include <cstdint>

namespace Vextra {

// Command numbers (the envelope's cmd and the "cmd" header).
constexpr int32_t kCmdReport = 830;    // one crash or error report
constexpr int32_t kCmdUserInfo = 840;  // the user information, once per start-up

// Report types: written as decimal text into a report's type, name data files
// and decide which uploads may be withheld.
constexpr int32_t kReportTypeCrash = 101;
constexpr int32_t kReportTypeError = 107;

// The workspace root below the module's directory, and the data directory
// inside the workspace that holds the data files and the record database.
constexpr wchar_t kWorkspaceDirName[] = L"lumaro";
constexpr wchar_t kDataDirName[] = L"vextra_data";

}  // namespace Vextra
