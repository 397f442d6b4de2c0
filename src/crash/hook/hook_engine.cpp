#include "crash/hook/hook_engine.h"

#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "crash/hook/hook_memory.h"
#include "crash/hook/trampoline.h"

namespace Vextra::hook {
namespace {

// Each hook owns one slot of a near block: the relay (an absolute jump to the
// detour) at its start, the trampoline after it.
constexpr size_t kSlotSize = 256;
constexpr size_t kSlotsPerBlock = kNearBlockSize / kSlotSize;
constexpr size_t kTrampolineOffset = 16;
static_assert(kTrampolineOffset >= kAbsoluteJumpSize, "relay overlaps the trampoline");
static_assert(kTrampolineOffset + kTrampolineCapacity <= kSlotSize, "trampoline overflows its slot");
// The decoder reads only the instructions it copies (plus padding up to the
// patch), never this much; the figure only bounds a runaway read.
constexpr size_t kReadableBytes = 64;

struct Block {
  uint8_t* base = nullptr;
  bool used[kSlotsPerBlock] = {};
  size_t in_use = 0;
};

struct Hook {
  uint8_t* target = nullptr;
  uint8_t* slot = nullptr;
  TrampolineCode code;
  uint8_t backup[kNearJumpSize] = {};
  bool enabled = false;

  uint64_t source() const { return reinterpret_cast<uint64_t>(target); }
  uint64_t trampoline() const { return reinterpret_cast<uint64_t>(slot + kTrampolineOffset); }
};

struct Engine {
  std::mutex lock;
  bool initialized = false;
  std::vector<Hook> hooks;
  std::vector<Block> blocks;
};

// Never destroyed: the loader's detach notification may uninitialise after
// static destructors have run.
Engine& State() {
  static Engine* engine = new Engine;
  return *engine;
}

bool Near(const uint8_t* a, const uint8_t* b) {
  const uint64_t x = reinterpret_cast<uint64_t>(a), y = reinterpret_cast<uint64_t>(b);
  return (x > y ? x - y : y - x) < kNearRange - kNearBlockSize;
}

uint8_t* TakeSlot(Engine& e, const uint8_t* target) {
  for (Block& block : e.blocks) {
    if (block.in_use == kSlotsPerBlock || !Near(block.base, target)) continue;
    for (size_t i = 0; i < kSlotsPerBlock; ++i) {
      if (!block.used[i]) {
        block.used[i] = true;
        ++block.in_use;
        return block.base + i * kSlotSize;
      }
    }
  }
  auto* base = static_cast<uint8_t*>(AllocateExecutableNear(target, kNearBlockSize));
  if (base == nullptr) return nullptr;
  Block block;
  block.base = base;
  block.used[0] = true;
  block.in_use = 1;
  e.blocks.push_back(block);
  return base;
}

void ReleaseSlot(Engine& e, uint8_t* slot) {
  for (size_t b = 0; b < e.blocks.size(); ++b) {
    Block& block = e.blocks[b];
    if (slot < block.base || slot >= block.base + kNearBlockSize) continue;
    block.used[(slot - block.base) / kSlotSize] = false;
    if (--block.in_use == 0) {
      FreeExecutable(block.base, kNearBlockSize);
      e.blocks.erase(e.blocks.begin() + static_cast<std::ptrdiff_t>(b));
    }
    return;
  }
}

Hook* Find(Engine& e, const void* target) {
  for (Hook& hook : e.hooks) {
    if (hook.target == target) return &hook;
  }
  return nullptr;
}

struct Move {
  Hook* const* hooks;
  size_t count;
  bool enabling;
};

// Runs while the other threads are paused: reads only the hooks handed in.
uint64_t MoveThread(uint64_t ip, const void* context) {
  const auto* move = static_cast<const Move*>(context);
  for (size_t i = 0; i < move->count; ++i) {
    const Hook& hook = *move->hooks[i];
    const uint64_t moved =
        move->enabling ? MoveIpIntoTrampoline(ip, hook.source(), hook.trampoline(), hook.code)
                       : MoveIpOutOfTrampoline(ip, hook.source(), hook.trampoline(), hook.code);
    if (moved != ip) return moved;
  }
  return ip;
}

// Writes the jump to the relay (enable) or the saved bytes (disable) at each
// hook, with every other thread paused and moved off the bytes that change.
MH_STATUS Switch(const std::vector<Hook*>& hooks, bool enable) {
  if (hooks.empty()) return MH_OK;
  OtherThreadsPaused paused;
  const Move move{hooks.data(), hooks.size(), enable};
  paused.MoveInstructionPointers(&MoveThread, &move);
  for (Hook* hook : hooks) {
    uint8_t patch[kNearJumpSize];
    if (enable) {
      EncodeNearJump(hook->source(), reinterpret_cast<uint64_t>(hook->slot), patch);
    } else {
      std::memcpy(patch, hook->backup, sizeof patch);
    }
    if (!WriteCode(hook->target, patch, sizeof patch)) return MH_ERROR_MEMORY_PROTECT;
    hook->enabled = enable;
  }
  return MH_OK;
}

MH_STATUS SwitchOne(Engine& e, void* target, bool enable) {
  std::vector<Hook*> chosen;
  if (target == MH_ALL_HOOKS) {
    for (Hook& hook : e.hooks) {
      if (hook.enabled != enable) chosen.push_back(&hook);
    }
  } else {
    Hook* hook = Find(e, target);
    if (hook == nullptr) return MH_ERROR_NOT_CREATED;
    if (hook->enabled == enable) return enable ? MH_ERROR_ENABLED : MH_ERROR_DISABLED;
    chosen.push_back(hook);
  }
  return Switch(chosen, enable);
}

}  // namespace
}  // namespace Vextra::hook

using namespace Vextra::hook;

MH_STATUS MH_Initialize() {
  Engine& e = State();
  std::lock_guard<std::mutex> guard(e.lock);
  if (e.initialized) return MH_ERROR_ALREADY_INITIALIZED;
  e.initialized = true;
  return MH_OK;
}

MH_STATUS MH_Uninitialize() {
  Engine& e = State();
  std::lock_guard<std::mutex> guard(e.lock);
  if (!e.initialized) return MH_ERROR_NOT_INITIALIZED;
  const MH_STATUS status = SwitchOne(e, MH_ALL_HOOKS, false);
  if (status != MH_OK) return status;
  for (Hook& hook : e.hooks) ReleaseSlot(e, hook.slot);
  e.hooks.clear();
  e.initialized = false;
  return MH_OK;
}

MH_STATUS MH_CreateHook(void* target, void* detour, void** original) {
  Engine& e = State();
  std::lock_guard<std::mutex> guard(e.lock);
  if (!e.initialized) return MH_ERROR_NOT_INITIALIZED;
  if (target == nullptr || detour == nullptr || !IsExecutableAddress(target) ||
      !IsExecutableAddress(detour)) {
    return MH_ERROR_NOT_EXECUTABLE;
  }
  if (Find(e, target) != nullptr) return MH_ERROR_ALREADY_CREATED;

  Hook hook;
  hook.target = static_cast<uint8_t*>(target);
  hook.slot = TakeSlot(e, hook.target);
  if (hook.slot == nullptr) return MH_ERROR_MEMORY_ALLOC;
  uint8_t probe[kNearJumpSize];
  if (!EncodeNearJump(hook.source(), reinterpret_cast<uint64_t>(hook.slot), probe)) {
    ReleaseSlot(e, hook.slot);
    return MH_ERROR_MEMORY_ALLOC;
  }
  if (BuildTrampoline(hook.target, kReadableBytes, hook.source(), hook.trampoline(),
                      kNearJumpSize, &hook.code) != TrampolineError::kNone) {
    ReleaseSlot(e, hook.slot);
    return MH_ERROR_UNSUPPORTED_FUNCTION;
  }
  uint8_t relay[kAbsoluteJumpSize];
  EncodeAbsoluteJump(reinterpret_cast<uint64_t>(detour), relay);
  if (!WriteCode(hook.slot, relay, sizeof relay) ||
      !WriteCode(hook.slot + kTrampolineOffset, hook.code.code, hook.code.size)) {
    ReleaseSlot(e, hook.slot);
    return MH_ERROR_MEMORY_PROTECT;
  }
  std::memcpy(hook.backup, hook.target, sizeof hook.backup);
  e.hooks.push_back(hook);
  if (original != nullptr) *original = hook.slot + kTrampolineOffset;
  return MH_OK;
}

MH_STATUS MH_RemoveHook(void* target) {
  Engine& e = State();
  std::lock_guard<std::mutex> guard(e.lock);
  if (!e.initialized) return MH_ERROR_NOT_INITIALIZED;
  Hook* hook = Find(e, target);
  if (hook == nullptr) return MH_ERROR_NOT_CREATED;
  if (hook->enabled) {
    const MH_STATUS status = Switch({hook}, false);
    if (status != MH_OK) return status;
  }
  ReleaseSlot(e, hook->slot);
  e.hooks.erase(e.hooks.begin() + (hook - e.hooks.data()));
  return MH_OK;
}

MH_STATUS MH_EnableHook(void* target) {
  Engine& e = State();
  std::lock_guard<std::mutex> guard(e.lock);
  if (!e.initialized) return MH_ERROR_NOT_INITIALIZED;
  return SwitchOne(e, target, true);
}

MH_STATUS MH_DisableHook(void* target) {
  Engine& e = State();
  std::lock_guard<std::mutex> guard(e.lock);
  if (!e.initialized) return MH_ERROR_NOT_INITIALIZED;
  return SwitchOne(e, target, false);
}
