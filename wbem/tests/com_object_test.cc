#include "wbem/com_object.h"

#include <gtest/gtest.h>

#include "wbem/com_ptr.h"
#include "wbem/services_wrapper.h"
#include "wbem/testing/leak_check.h"

namespace {

IID MakeIid(unsigned char last) { return {0x11111111, 0x2222, 0x3333, {0, 0, 0, 0, 0, 0, 0, last}}; }

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
  struct Case {
    const char* name;
    IID iid;
    HRESULT expected;
  };
  const Case cases[] = {
      {"IUnknown", IID_IUnknown, S_OK},
      {"the interface", IID_IWbemObjectSink, S_OK},
      {"an extra identity", MakeIid(7), S_OK},
      {"another interface", IID_IWbemServices, E_NOINTERFACE},
      {"an unknown identity", MakeIid(8), E_NOINTERFACE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    void* out = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(sink->QueryInterface(c.iid, &out), c.expected);
    if (c.expected == S_OK) {
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

// Records the one call it overrides; the rest pass through.
class RecordingServices final : public wbem::ServicesWrapper {
 public:
  using ServicesWrapper::ServicesWrapper;
  HRESULT CancelAsyncCall(IWbemObjectSink* sink) override {
    ++cancels;
    return ServicesWrapper::CancelAsyncCall(sink);
  }
  int cancels = 0;
};

// A target that answers each call with its own code, so that the test sees
// which call reached it.
class Target final : public wbem::ComObject<Target, IWbemServices> {
 public:
  HRESULT GetObject(const BSTR, LONG, IWbemContext*, IWbemClassObject**,
                    IWbemCallResult**) override {
    return 1;
  }
  HRESULT ExecMethod(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                     IWbemClassObject**, IWbemCallResult**) override {
    return 2;
  }
  HRESULT QueryObjectSink(LONG, IWbemObjectSink**) override { return 3; }
  HRESULT ExecNotificationQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                     IWbemObjectSink*) override {
    return 4;
  }
  HRESULT CancelAsyncCall(IWbemObjectSink*) override { return 5; }
  HRESULT PutClass(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override {
    return 6;
  }
  HRESULT PutInstance(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override {
    return 7;
  }
};

TEST_F(ComObjectTest, ServicesWrapperPassesEveryCallToItsTarget) {
  auto target = wbem::ComPtr<IWbemServices>::Adopt(new Target);
  auto wrapper = wbem::ComPtr<RecordingServices>::Adopt(new RecordingServices(target));
  EXPECT_EQ(wrapper->GetObject(nullptr, 0, nullptr, nullptr, nullptr), 1);
  EXPECT_EQ(wrapper->ExecMethod(nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr), 2);
  EXPECT_EQ(wrapper->QueryObjectSink(0, nullptr), 3);
  EXPECT_EQ(wrapper->ExecNotificationQueryAsync(nullptr, nullptr, 0, nullptr, nullptr), 4);
  EXPECT_EQ(wrapper->CancelAsyncCall(nullptr), 5);
  EXPECT_EQ(wrapper->PutClass(nullptr, 0, nullptr, nullptr), 6);
  EXPECT_EQ(wrapper->PutInstance(nullptr, 0, nullptr, nullptr), 7);
  EXPECT_EQ(wrapper->cancels, 1);
  EXPECT_EQ(wrapper->target(), target.get());
}

}  // namespace
