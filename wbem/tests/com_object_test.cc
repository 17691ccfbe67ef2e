#include "wbem/com_object.h"

#include <gtest/gtest.h>

#include <tuple>

#include "wbem/com_ptr.h"
#include "wbem/testing/leak_check.h"

namespace {

IID MakeIid(unsigned char last) {
  return {0x11111111, 0x2222, 0x3333, {0, 0, 0, 0, 0, 0, 0, last}};
}

// Deleted by its last reference; tells the test when that happens.
class Sink final : public wbem::ComObject<Sink, IWbemObjectSink> {
 public:
  explicit Sink(bool* destroyed) : destroyed_(destroyed) {}
  ~Sink() { *destroyed_ = true; }
  HRESULT Indicate(LONG, IWbemClassObject**) override { return WBEM_S_NO_ERROR; }
  HRESULT SetStatus(LONG, HRESULT, BSTR, IWbemClassObject*) override { return WBEM_S_NO_ERROR; }
  bool AnswersTo(REFIID riid) const { return riid == MakeIid(7); }

 private:
  bool* destroyed_;
};

// Owned by the test, never deleted through a reference.
class OwnedSink final : public wbem::ComObject<OwnedSink, IWbemObjectSink, wbem::Lifetime::kOwner> {
 public:
  HRESULT Indicate(LONG, IWbemClassObject**) override { return WBEM_S_NO_ERROR; }
  HRESULT SetStatus(LONG, HRESULT, BSTR, IWbemClassObject*) override { return WBEM_S_NO_ERROR; }
};

class ComObjectTest : public wbem::testing::LeakCheckedTest {};

TEST_F(ComObjectTest, AnswersItsIdentitiesAndRefusesOthers) {
  bool destroyed = false;
  auto sink = wbem::ComPtr<Sink>::Adopt(new Sink(&destroyed));
  const std::tuple<const char*, IID, HRESULT> cases[] = {
      {"IUnknown", IID_IUnknown, S_OK},
      {"the interface", IID_IWbemObjectSink, S_OK},
      {"an extra identity", MakeIid(7), S_OK},
      {"another interface", IID_IWbemServices, E_NOINTERFACE},
      {"an unknown identity", MakeIid(8), E_NOINTERFACE},
  };
  for (const auto& [name, iid, expected] : cases) {
    SCOPED_TRACE(name);
    void* out = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(sink->QueryInterface(iid, &out), expected);
    if (expected == S_OK) {
      EXPECT_EQ(out, static_cast<IWbemObjectSink*>(sink.get()));
      EXPECT_EQ(sink->Release(), 1u) << "the answer added exactly one reference";
    } else {
      EXPECT_EQ(out, nullptr);
    }
  }
  EXPECT_EQ(sink->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  EXPECT_FALSE(destroyed);
}

TEST_F(ComObjectTest, LastReleaseDeletesAndTheLiveCountFollows) {
  const std::int64_t before = wbem::GetLiveCounts().objects;
  bool destroyed = false;
  Sink* sink = new Sink(&destroyed);
  EXPECT_EQ(wbem::GetLiveCounts().objects, before + 1);
  EXPECT_EQ(sink->AddRef(), 2u);
  EXPECT_EQ(sink->Release(), 1u);
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(sink->Release(), 0u);
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(wbem::GetLiveCounts().objects, before);
}

TEST_F(ComObjectTest, OwnedObjectCountsReferencesButNeverDeletesItself) {
  OwnedSink sink;
  EXPECT_EQ(sink.AddRef(), 1u);
  EXPECT_EQ(sink.Release(), 0u);
  EXPECT_EQ(sink.Release(), 0u) << "a stray Release does not wrap around";
  EXPECT_EQ(sink.AddRef(), 1u);
  EXPECT_EQ(sink.Release(), 0u);
}

}  // namespace
