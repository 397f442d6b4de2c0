#pragma once
// The one workspace of this test program's process: the process's data
// directory and database are prepared once per process, so every fixture that
// needs them shares this temporary directory.

#include "core/common_info.h"
#include "report/file_manager.h"
#include "support/temp_dir.h"

namespace vextra_test {

inline const TempDir& ProcessWorkspace() {
  static TempDir* workspace = [] {
    auto* dir = new TempDir("vextra-app-ws");
    Vextra::CommonInfo::Instance().SetWorkspace(dir->wpath(), true);
    Vextra::FileManager::Instance();
    return dir;
  }();
  return *workspace;
}

}  // namespace vextra_test
