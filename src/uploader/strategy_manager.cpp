#include "uploader/strategy_manager.h"

#include <cstdio>
#include <utility>

#include "core/common_info.h"
#include "db/db_manager.h"
#include "uploader/protocol_text.h"

namespace Vextra {
namespace {

void AppendJsonString(const std::string& text, std::string* out) {
  out->push_back('"');
  for (char c : ToProtocolText(text)) {
    switch (c) {
      case '"':
        out->append("\\\"");
        break;
      case '\\':
        out->append("\\\\");
        break;
      case '\b':
        out->append("\\b");
        break;
      case '\f':
        out->append("\\f");
        break;
      case '\n':
        out->append("\\n");
        break;
      case '\r':
        out->append("\\r");
        break;
      case '\t':
        out->append("\\t");
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(c));
          out->append(escaped);
        } else {
          out->push_back(c);
        }
    }
  }
  out->push_back('"');
}

void Apply(const StrategyMap& strategy, StrategyItem* item) {
  auto found = strategy.find(item->name);
  item->value = found == strategy.end() ? item->defaultValue : IsSwitchOn(found->second);
}

}  // namespace

bool IsSwitchOn(const std::string& value) { return value != "0"; }

std::string RenderStrategyJson(const StrategyMap& strategy) {
  std::string json = "{";
  for (const auto& [key, value] : strategy) {
    if (json.size() > 1) json.push_back(',');
    AppendJsonString(key, &json);
    json.push_back(':');
    AppendJsonString(value, &json);
  }
  json.push_back('}');
  return json;
}

StrategyManager::StrategyManager()
    : StrategyManager(
          [](const StrategyMap& strategy) { return DbManager::Instance().SaveStrategy(strategy); }) {}

StrategyManager::StrategyManager(StrategyStore strategy_store) : store(std::move(strategy_store)) {}

void StrategyManager::Update(const StrategyMap& strategy) {
  try {
    std::lock_guard<std::mutex> lock(mutex);
    if (strategy.empty()) {
      loaded = true;
      return;
    }
    Apply(strategy, &disableItem);
    Apply(strategy, &mergeImproveItem);
    // The first update brings the map just read from the database: nothing to store.
    const bool save = loaded;
    loaded = true;
    // A store that fails, even by throwing, still leaves the whole map applied and published.
    try {
      if (save && store) store(strategy);
    } catch (...) {
    }
    CommonInfo::Instance().SetStrategyJson(RenderStrategyJson(strategy));
  } catch (...) {
    // Out of memory or a broken lock: what could not be done stays as it was.
  }
}

bool StrategyManager::IsDisabled() const {
  std::lock_guard<std::mutex> lock(mutex);
  return disableItem.value;
}

bool StrategyManager::IsMergeImprove() const {
  std::lock_guard<std::mutex> lock(mutex);
  return mergeImproveItem.value;
}

bool StrategyManager::IsLoaded() const {
  std::lock_guard<std::mutex> lock(mutex);
  return loaded;
}

}  // namespace Vextra
