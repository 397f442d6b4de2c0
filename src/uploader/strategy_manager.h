#pragma once
// The remote strategy: switches the collection server sets through the answer
// to the user-information request. Known switches are applied, every map is
// stored for the next start and published as flat JSON in the settings store.

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "core/base_singleton.h"

namespace Vextra {

// Strategy keys and values, in byte-wise key order, one value per key.
using StrategyMap = std::map<std::string, std::string>;

constexpr char kKeyVextraDisable[] = "KEY_VEXTRA_DISABLE";
constexpr char kKeyMergeImprove[] = "KEY_MERGE_IMPROVE";

struct StrategyItem {
  StrategyItem(std::string item_name, bool default_value)
      : name(std::move(item_name)), defaultValue(default_value), value(default_value) {}
  std::string name;
  bool defaultValue;
  bool value;
};

// A switch is on for every value but the one-character text "0".
bool IsSwitchOn(const std::string& value);

// The map as one JSON object: {"key":"value",...} in key order. Quotes,
// backslashes and control characters are escaped and other text is made
// UTF-8, so any key or value gives valid JSON; plain texts come out verbatim.
std::string RenderStrategyJson(const StrategyMap& strategy);

class StrategyManager : public BaseSingleton<StrategyManager> {
 public:
  // Persists strategy maps; false when storing failed (which changes nothing
  // else). Called with the manager's lock held.
  using StrategyStore = std::function<bool(const StrategyMap&)>;

  // The process's manager stores through the record database.
  StrategyManager();
  // A manager that stores through store (tests, tools).
  explicit StrategyManager(StrategyStore store);

  // Applies a strategy map: an empty one changes nothing (it only marks the
  // manager loaded); otherwise the switches take the map's values or their
  // defaults, the map replaces the stored strategy (except on the first
  // update, whose map is the stored one) and is published as JSON. Any
  // thread; concurrent updates are applied one after the other; never throws.
  // Takes the settings store's lock inside its own.
  void Update(const StrategyMap& strategy);

  // Whether the strategy switches the library off. Start-up reads it.
  bool IsDisabled() const;
  // The merge-improve switch; nothing acts on it yet.
  bool IsMergeImprove() const;
  // Whether a first update has been applied.
  bool IsLoaded() const;

 private:
  mutable std::mutex mutex;
  bool loaded = false;                                    // guarded by mutex
  StrategyItem disableItem{kKeyVextraDisable, false};     // guarded by mutex
  StrategyItem mergeImproveItem{kKeyMergeImprove, true};  // guarded by mutex
  const StrategyStore store;
};

}  // namespace Vextra
