// The host's crash observer as the library calls it: through the third slot
// of the object's virtual table. Hosts come as classes built from vextra.h by
// this compiler (GCC natively, MinGW for the Windows test program under Wine)
// and as MSVC objects, whose table is imitated here by hand: a destructor
// slot, OnCrashReserved, OnCrashExtraMessage, each slot called like a member
// function (the object as first argument).

#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <vector>

#include "crash/crash_callbacks.h"
#include "vextra.h"

namespace Vextra {
namespace {

// A host class with state and a virtual destructor of its own, as hosts write them.
class HostObserver : public HRBCrashObserver {
 public:
  explicit HostObserver(std::string text) : text_(std::move(text)) {}
  virtual ~HostObserver() { *destroyed_ = true; }
  void* OnCrashReserved(void*) override { return this; }
  const char* OnCrashExtraMessage(int32_t kind) override {
    asked.push_back(kind);
    return text_.c_str();
  }
  std::vector<int32_t> asked;
  bool* destroyed_ = &ignored_;

 private:
  std::string text_;
  bool ignored_ = false;
};

// A deeper host hierarchy adding virtual functions of its own.
class DerivedHostObserver : public HostObserver {
 public:
  using HostObserver::HostObserver;
  virtual int Extra() { return 1; }
  const char* OnCrashExtraMessage(int32_t kind) override {
    last = kind;
    return "derived";
  }
  int32_t last = 0;
};

// An object laid out as MSVC lays out a host's observer: a pointer to a table
// of three slots. On Windows x64 a member function takes its object in rcx,
// as the first plain argument, so plain functions can fill the slots.
struct HandMadeObserver {
  const void* const* table;
  const char* text;
  int32_t lastKind;
};

void* HandMadeDestructor(HandMadeObserver*, unsigned) { return nullptr; }
void* HandMadeReserved(HandMadeObserver*, void*) { return nullptr; }
const char* HandMadeExtraMessage(HandMadeObserver* self, int32_t kind) {
  self->lastKind = kind;
  return self->text;
}

const void* const kHandMadeTable[3] = {reinterpret_cast<const void*>(&HandMadeDestructor),
                                       reinterpret_cast<const void*>(&HandMadeReserved),
                                       reinterpret_cast<const void*>(&HandMadeExtraMessage)};

TEST(CrashObserverTest, HostClassBuiltFromTheHeaderAnswersThroughTheThirdSlot) {
  HostObserver host("host text");
  EXPECT_STREQ(CallOnCrashExtraMessage(&host, 107), "host text");
  EXPECT_STREQ(CallOnCrashExtraMessage(&host, 2), "host text");
  EXPECT_EQ(host.asked, (std::vector<int32_t>{107, 2}));

  DerivedHostObserver derived("unused");
  EXPECT_STREQ(CallOnCrashExtraMessage(&derived, -5), "derived");
  EXPECT_EQ(derived.last, -5);
  EXPECT_EQ(derived.Extra(), 1);
}

TEST(CrashObserverTest, HeaderGivesThisCompilerThreeSlotsBeforeAHostsOwn) {
  // The second slot is OnCrashReserved and the first is not it: a table of
  // two destructor slots would shift both by one.
  HostObserver host("x");
  void* const* table = *reinterpret_cast<void* const* const*>(&host);
  using ReservedSlot = void* (*)(HRBCrashObserver*, void*);
  EXPECT_EQ(reinterpret_cast<ReservedSlot>(table[1])(&host, nullptr), &host);
  EXPECT_EQ(host.asked.size(), 0u);
  // The base class answers null from both of its slots.
  struct Plain : HRBCrashObserver {} plain;
  EXPECT_EQ(CallOnCrashExtraMessage(&plain, 1), nullptr);
  EXPECT_EQ(plain.OnCrashReserved(&plain), nullptr);
  // Deleting a host object through its own type still runs its destructor.
  bool destroyed = false;
  auto* owned = new HostObserver("y");
  owned->destroyed_ = &destroyed;
  delete owned;
  EXPECT_TRUE(destroyed);
  // With this compiler the base's destructor is protected and not virtual:
  // nobody may delete an observer through the base (the library never does).
  EXPECT_FALSE(std::is_destructible<HRBCrashObserver>::value);
  EXPECT_FALSE(std::has_virtual_destructor<HRBCrashObserver>::value);
}

TEST(CrashObserverTest, MsvcStyleThreeSlotObjectAnswersLikeAHostClass) {
  HandMadeObserver object{kHandMadeTable, "from msvc layout", 0};
  auto* observer = reinterpret_cast<HRBCrashObserver*>(&object);
  EXPECT_STREQ(CallOnCrashExtraMessage(observer, 107), "from msvc layout");
  EXPECT_EQ(object.lastKind, 107);
  object.text = nullptr;
  EXPECT_EQ(CallOnCrashExtraMessage(observer, 2), nullptr);
  EXPECT_EQ(object.lastKind, 2);
}

const char* Engine(int32_t code, int32_t kind, int32_t reserved) {
  static std::string text;
  text = std::to_string(code) + "," + std::to_string(kind) + "," + std::to_string(reserved);
  return text.c_str();
}

TEST(CrashObserverTest, BuiltInEngineObserverFollowsTheRegistrations) {
  SetUnityCallback(&Engine);
  HRBCrashObserver* builtIn = GetCrashObserver();
  ASSERT_NE(builtIn, nullptr);
  EXPECT_STREQ(CallOnCrashExtraMessage(builtIn, 107), "1012,107,0");

  // The host's observer replaces the built-in one; clearing the engine
  // callback clears whichever observer is registered.
  HostObserver host("host");
  SetCrashObserver(&host);
  EXPECT_EQ(GetCrashObserver(), &host);
  SetUnityCallback(nullptr);
  EXPECT_EQ(GetCrashObserver(), nullptr);
  // The built-in observer without an engine callback answers an empty text.
  EXPECT_STREQ(CallOnCrashExtraMessage(builtIn, 2), "");
}

}  // namespace
}  // namespace Vextra
