#include "repository/repository.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <tuple>

#include "repository/cim.h"
#include "repository/object_text.h"
#include "repository/tests/test_util.h"
#include "wbem/testing/leak_check.h"

namespace repository {
namespace {

using ::testing::ElementsAre;

class RepositoryTest : public wbem::testing::LeakCheckedTest {
 protected:
  void SetUp() override {
    for (const Class& cls : {Class("ZRV_Event")
                                 .Property("ProfileName", CIM_STRING)
                                 .Property("EventId", CIM_STRING)
                                 .Property("severity", CIM_STRING, "Normal"),
                             Class("Disk_Full", "ZRV_Event")
                                 .Property("Drive", CIM_STRING)
                                 .Property("Free", CIM_UINT32)
                                 .Property("severity", CIM_STRING, "Critical"),
                             Class("Disk").Key("Id", CIM_STRING).Property("Size", CIM_UINT64),
                             Class("LocalDisk", "Disk").Property("Letter", CIM_STRING),
                             Class("Slot").Key("Rack", CIM_STRING).Key("Num", CIM_UINT32)}) {
      ASSERT_EQ(ns_.Define(cls), WBEM_S_NO_ERROR);
    }
    services_ = ns_.Services();
  }

  // Names that BeginEnumeration(flags)/Next give, blank-separated.
  std::string Names(const char* path, LONG flags) { return Names(GetObject(path).get(), flags); }
  std::string Names(IWbemClassObject* object, LONG flags) {
    std::string names;
    EXPECT_EQ(object->BeginEnumeration(flags), WBEM_S_NO_ERROR);
    Bstr name;
    HRESULT hr;
    while ((hr = object->Next(0, name.Out(), nullptr, nullptr, nullptr)) == WBEM_S_NO_ERROR) {
      names += (names.empty() ? "" : " ") + name.ToUtf8();
    }
    EXPECT_EQ(hr, WBEM_S_NO_MORE_DATA);
    EXPECT_EQ(object->EndEnumeration(), WBEM_S_NO_ERROR);
    return names;
  }

  ComPtr<IWbemClassObject> GetObject(const char* path, HRESULT expected = WBEM_S_NO_ERROR) {
    ComPtr<IWbemClassObject> object;
    EXPECT_EQ(services_->GetObject(Bstr(path).get(), 0, nullptr, object.Out(), nullptr), expected)
        << path;
    EXPECT_EQ(object == nullptr, FAILED(expected));
    return object;
  }

  // A new instance of `cls`; null when NewInstance fails.
  ComPtr<IWbemClassObject> New(const char* cls, const PropertyValues& values = {}) {
    ComPtr<IWbemClassObject> object;
    EXPECT_EQ(ns_.NewInstance(cls, values, &object), WBEM_S_NO_ERROR) << cls;
    return object;
  }

  std::string TextAt(const char* path, const char* name) {
    return Text(GetObject(path).get(), name);
  }

  static std::string Line(IWbemClassObject* object) {
    return ObjectToText(object, TextStyle::kSingleLine);
  }
  static HRESULT Put(IWbemClassObject* object, const char16_t* name, Variant value) {
    return object->Put(name, 0, value.ptr(), 0);
  }
  HRESULT PutInstance(IWbemClassObject* o, LONG flags = 0) {
    return services_->PutInstance(o, flags, nullptr, nullptr);
  }
  HRESULT PutClass(IWbemClassObject* o, LONG flags = 0) {
    return services_->PutClass(o, flags, nullptr, nullptr);
  }

  Repository repo_;
  Namespace ns_ = repo_.OpenNamespace("root\\zrv");
  ComPtr<IWbemServices> services_;
};

TEST_F(RepositoryTest, EnumerationFlagsSelectDeclaredOverriddenAndSystemProperties) {
  auto cls = GetObject("Disk_Full");
  EXPECT_EQ(Names(cls.get(), WBEM_FLAG_LOCAL_ONLY), "severity Drive Free");
  EXPECT_EQ(Names(cls.get(), WBEM_FLAG_PROPAGATED_ONLY), "ProfileName EventId");
  EXPECT_EQ(Names(cls.get(), WBEM_FLAG_NONSYSTEM_ONLY), "ProfileName EventId severity Drive Free");
  EXPECT_EQ(Names(cls.get(), WBEM_FLAG_SYSTEM_ONLY),
            "__GENUS __CLASS __SUPERCLASS __NAMESPACE __RELPATH __PATH");
  EXPECT_EQ(Names(cls.get(), 0),
            "__GENUS __CLASS __SUPERCLASS __NAMESPACE __RELPATH __PATH "
            "ProfileName EventId severity Drive Free");
  EXPECT_EQ(Names("ZRV_Event", WBEM_FLAG_LOCAL_ONLY), "ProfileName EventId severity");
  EXPECT_EQ(Names("Slot", WBEM_FLAG_KEYS_ONLY), "Rack Num");
  EXPECT_EQ(Names("LocalDisk", WBEM_FLAG_LOCAL_ONLY | WBEM_FLAG_KEYS_ONLY), "");
}

TEST_F(RepositoryTest, InstancesEnumerateAndReportFlavorAsTheirClass) {
  auto event = New("Disk_Full", {{"Drive", "C:"}});
  EXPECT_EQ(Names(event.get(), WBEM_FLAG_LOCAL_ONLY), "severity Drive Free");
  for (const auto& [name, flavor] : {std::pair{u"ProfileName", WBEM_FLAVOR_ORIGIN_PROPAGATED},
                                     {u"severity", WBEM_FLAVOR_ORIGIN_LOCAL},
                                     {u"__CLASS", WBEM_FLAVOR_ORIGIN_SYSTEM}}) {
    LONG got = -1;
    CIMTYPE type = 0;
    EXPECT_EQ(event->Get(name, 0, nullptr, &type, &got), WBEM_S_NO_ERROR);
    EXPECT_EQ(std::to_string(got) + " " + CimTypeName(type), std::to_string(flavor) + " string");
  }
  // The override's default replaces the inherited one.
  EXPECT_EQ(Text(event.get(), "severity") + Text(New("ZRV_Event").get(), "severity"),
            "CriticalNormal");
}

TEST_F(RepositoryTest, EnumerationContract) {
  auto cls = GetObject("Disk");
  EXPECT_EQ(cls->Next(0, nullptr, nullptr, nullptr, nullptr), WBEM_E_UNEXPECTED);
  EXPECT_EQ(cls->BeginEnumeration(0x1000), WBEM_E_INVALID_PARAMETER);
  EXPECT_EQ(cls->BeginEnumeration(WBEM_FLAG_KEYS_ONLY | WBEM_FLAG_REFS_ONLY),
            WBEM_E_INVALID_PARAMETER);
  ASSERT_EQ(cls->BeginEnumeration(WBEM_FLAG_LOCAL_ONLY), WBEM_S_NO_ERROR);
  Bstr name;
  Variant value;
  CIMTYPE type = 0;
  LONG flavor = -1;
  EXPECT_EQ(cls->Next(0, name.Out(), value.Out(), &type, &flavor), WBEM_S_NO_ERROR);
  EXPECT_EQ(name.ToUtf8() + " " + CimTypeName(type), "Id string");
  EXPECT_EQ(std::pair(value.vt(), flavor),
            (std::pair<VARTYPE, LONG>(VT_NULL, WBEM_FLAVOR_ORIGIN_LOCAL)));
  EXPECT_EQ(cls->EndEnumeration(), WBEM_S_NO_ERROR);
  EXPECT_EQ(cls->Next(0, nullptr, nullptr, nullptr, nullptr), WBEM_E_UNEXPECTED);
}

TEST_F(RepositoryTest, SystemPropertiesDescribeTheObject) {
  ASSERT_EQ(ns_.AddInstance("Slot", {{"Rack", "r\"1"}, {"Num", 3000000000u}}), WBEM_S_NO_ERROR);
  EXPECT_EQ(Text(GetObject(R"(Slot.Rack="r\"1",Num=3000000000)").get(),
                 {"__CLASS", "__GENUS", "__NAMESPACE", "__RELPATH", "__PATH"}),
            R"(Slot|2|root\zrv|Slot.Rack="r\"1",Num=3000000000|)"
            R"(\\.\root\zrv:Slot.Rack="r\"1",Num=3000000000)");
  auto cls = GetObject("Disk_Full");
  EXPECT_EQ(Text(cls.get(), {"__GENUS", "__SUPERCLASS", "__PATH"}),
            R"(1|ZRV_Event|\\.\root\zrv:Disk_Full)");
  EXPECT_EQ(TextAt("Disk", "__SUPERCLASS"), "");
  Variant v("x");
  EXPECT_EQ(cls->Put(u"__CLASS", 0, v.ptr(), 0), WBEM_E_READ_ONLY);
  EXPECT_EQ(cls->Put(u"Nope", 0, v.ptr(), 0), WBEM_E_NOT_FOUND);
  EXPECT_EQ(cls->Get(u"Nope", 0, v.ptr(), nullptr, nullptr), WBEM_E_NOT_FOUND);
  EXPECT_EQ(v.AsUtf8(), "x");  // untouched on failure
  EXPECT_EQ(cls->Get(u"Drive", 1, nullptr, nullptr, nullptr), WBEM_E_INVALID_PARAMETER);
}

TEST_F(RepositoryTest, InstancesAreFiledByKeyAndFoundThroughAnyAncestor) {
  ASSERT_EQ(ns_.AddInstance("DISK", {{"id", "A"}, {"Size", 1}}), WBEM_S_NO_ERROR);
  ASSERT_EQ(ns_.AddInstance("LocalDisk", {{"Id", "B"}, {"Letter", "B:"}}), WBEM_S_NO_ERROR);
  ASSERT_EQ(ns_.AddInstance("Slot", {{"Rack", "r1"}, {"Num", 7}}), WBEM_S_NO_ERROR);
  EXPECT_EQ(Line(GetObject(R"(Disk.Id="A")").get()), R"(Disk{Id="A"; Size=1})");
  EXPECT_EQ(Line(GetObject(R"(Disk.Id="B")").get()),
            R"(LocalDisk{Id="B"; Size=NULL; Letter="B:"})");
  // Names ignore ASCII case, key values do not.
  EXPECT_EQ(TextAt(R"(disk.ID="A")", "__class"), "Disk");
  // Key order in the path does not matter; numbers may be quoted.
  for (const char* found : {R"(LocalDisk.Id="B")", R"(Slot.Num=7,Rack="r1")",
                            R"(Slot.Rack="r1",Num="7")", R"(\\.\root/zrv:Slot.Rack="r1",Num=7)"}) {
    SCOPED_TRACE(found);
    GetObject(found);
  }
  const std::pair<const char*, HRESULT> bad[] = {
      {R"(LocalDisk.Id="A")", WBEM_E_NOT_FOUND},  // a Disk, not a LocalDisk
      {R"(Disk.Id="Z")", WBEM_E_NOT_FOUND},
      {R"(Disk.Id="a")", WBEM_E_NOT_FOUND},                         // key values keep case
      {R"(Slot.Rack="r1")", WBEM_E_INVALID_OBJECT_PATH},            // a key missing
      {R"(Slot.Rack="r1",Num=7,X=1)", WBEM_E_INVALID_OBJECT_PATH},  // too many
      {R"(Slot.Rack="r1",Size=7)", WBEM_E_INVALID_OBJECT_PATH},     // not a key
      {R"(Slot.Rack="r1",Num=-7)", WBEM_E_INVALID_OBJECT_PATH},     // out of range
      {R"(Disk_Full.Drive="C:")", WBEM_E_INVALID_OBJECT_PATH},      // keyless class
      {R"(Nope.Id="A")", WBEM_E_NOT_FOUND},
      {R"(\\.\other:Disk)", WBEM_E_INVALID_NAMESPACE},
  };
  for (const auto& [path, hr] : bad) {
    SCOPED_TRACE(path);
    GetObject(path, hr);
  }
}

TEST_F(RepositoryTest, PutInstanceHonoursFlagsAndRefusesNullKeys) {
  auto disk = New("Disk", {{"Size", 1}});
  const auto put = [&](LONG flags) { return PutInstance(disk.get(), flags); };
  EXPECT_EQ(put(0), WBEM_E_ILLEGAL_NULL);
  ASSERT_EQ(Put(disk.get(), u"Id", "A"), WBEM_S_NO_ERROR);
  EXPECT_EQ(put(WBEM_FLAG_UPDATE_ONLY), WBEM_E_NOT_FOUND);
  EXPECT_EQ(put(WBEM_FLAG_CREATE_ONLY), WBEM_S_NO_ERROR);
  EXPECT_EQ(put(WBEM_FLAG_CREATE_ONLY), WBEM_E_ALREADY_EXISTS);
  // The repository keeps a copy: changing the caller's object changes nothing.
  ASSERT_EQ(Put(disk.get(), u"Size", 2), WBEM_S_NO_ERROR);
  EXPECT_EQ(TextAt(R"(Disk.Id="A")", "Size"), "1");
  EXPECT_EQ(put(WBEM_FLAG_UPDATE_ONLY), WBEM_S_NO_ERROR);
  EXPECT_EQ(TextAt(R"(Disk.Id="A")", "Size"), "2");
  EXPECT_EQ(PutInstance(New("ZRV_Event").get()), WBEM_E_INVALID_OPERATION);
  EXPECT_EQ(PutInstance(GetObject("Disk").get()), WBEM_E_INVALID_PARAMETER);
}

TEST_F(RepositoryTest, ObjectsAreIndependentCopies) {
  auto cls = GetObject("Disk_Full");
  ASSERT_EQ(Put(cls.get(), u"severity", "Low"), WBEM_S_NO_ERROR);
  EXPECT_EQ(Text(GetObject("Disk_Full").get(), "severity"), "Critical");
  ComPtr<IWbemClassObject> spawned, clone, fresh;
  ASSERT_EQ(cls->SpawnInstance(0, spawned.Out()), WBEM_S_NO_ERROR);
  EXPECT_EQ(Text(spawned.get(), "severity"), "Low");  // the class object's own default
  ASSERT_EQ(spawned->Clone(clone.Out()), WBEM_S_NO_ERROR);
  ASSERT_EQ(Put(clone.get(), u"severity", "High"), WBEM_S_NO_ERROR);
  ASSERT_EQ(Put(spawned.get(), u"Drive", "E:"), WBEM_S_NO_ERROR);
  EXPECT_EQ(Text(spawned.get(), {"severity", "Drive"}), "Low|E:");
  EXPECT_EQ(Text(clone.get(), {"severity", "Drive"}), "High|");
  // Instances spawned from the stored class start from its defaults.
  ASSERT_EQ(GetObject("Disk_Full")->SpawnInstance(0, fresh.Out()), WBEM_S_NO_ERROR);
  EXPECT_EQ(Text(fresh.get(), {"severity", "Drive"}), "Critical|");
}

TEST_F(RepositoryTest, PutClassFilesChangedDefaults) {
  auto cls = GetObject("Disk_Full");
  ASSERT_EQ(Put(cls.get(), u"Drive", "D:"), WBEM_S_NO_ERROR);
  ASSERT_EQ(Put(cls.get(), u"EventId", "none"), WBEM_S_NO_ERROR);
  EXPECT_EQ(PutClass(cls.get(), WBEM_FLAG_CREATE_ONLY), WBEM_E_ALREADY_EXISTS);
  ASSERT_EQ(PutClass(cls.get()), WBEM_S_NO_ERROR);
  auto stored = GetObject("Disk_Full");
  EXPECT_EQ(Text(stored.get(), {"Drive", "EventId"}), "D:|none");
  EXPECT_EQ(Names(stored.get(), WBEM_FLAG_LOCAL_ONLY), "EventId severity Drive Free");
  // A class with subclasses cannot be replaced.
  EXPECT_EQ(PutClass(GetObject("ZRV_Event").get()), WBEM_E_CLASS_HAS_CHILDREN);
}

TEST_F(RepositoryTest, DefineRefusesInconsistentClasses) {
  const std::tuple<const char*, Class, HRESULT> cases[] = {
      {"missing superclass", Class("A", "Nope"), WBEM_E_INVALID_SUPERCLASS},
      {"bad name", Class("1A"), WBEM_E_INVALID_PARAMETER},
      {"duplicate property", Class("A").Property("X", CIM_STRING).Property("x", CIM_STRING),
       WBEM_E_INVALID_PARAMETER},
      {"array property", Class("A").Property("X", CIM_STRING | CIM_FLAG_ARRAY),
       WBEM_E_INVALID_PROPERTY_TYPE},
      {"unknown type", Class("A").Property("X", 99), WBEM_E_INVALID_PROPERTY_TYPE},
      {"override with other type", Class("A", "ZRV_Event").Property("EventId", CIM_UINT32),
       WBEM_E_TYPE_MISMATCH},
      {"default that does not convert", Class("A").Property("X", CIM_UINT32, "text"),
       WBEM_E_TYPE_MISMATCH},
      {"real key", Class("A").Key("X", CIM_REAL64), WBEM_E_CANNOT_BE_KEY},
      {"object key", Class("A").Key("X", CIM_OBJECT), WBEM_E_CANNOT_BE_KEY},
      {"new key under keys", Class("A", "Disk").Key("X", CIM_STRING), WBEM_E_CANNOT_BE_KEY},
      {"inherited property made key", Class("A", "ZRV_Event").Key("EventId", CIM_STRING),
       WBEM_E_CANNOT_BE_KEY},
      {"duplicate method", Class("A").Method(MethodDef("M")).Method(MethodDef("m")),
       WBEM_E_INVALID_PARAMETER},
      {"duplicate parameter",
       Class("A").Method(MethodDef("M").In("P", CIM_STRING).In("P", CIM_STRING)),
       WBEM_E_INVALID_PARAMETER},
      {"explicit ReturnValue", Class("A").Method(MethodDef("M").Out("ReturnValue", CIM_STRING)),
       WBEM_E_INVALID_PARAMETER},
      {"replacing a class with subclasses", Class("ZRV_Event"), WBEM_E_CLASS_HAS_CHILDREN},
  };
  for (const auto& [name, cls, hr] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(ns_.Define(cls), hr);
  }
  GetObject("A", WBEM_E_NOT_FOUND);
  ASSERT_EQ(ns_.AddInstance("Disk", {{"Id", "A"}}), WBEM_S_NO_ERROR);
  ASSERT_EQ(ns_.Define(Class("Lonely").Key("Id", CIM_STRING)), WBEM_S_NO_ERROR);
  ASSERT_EQ(ns_.AddInstance("Lonely", {{"Id", "1"}}), WBEM_S_NO_ERROR);
  EXPECT_EQ(ns_.Define(Class("Lonely").Key("Id", CIM_STRING)), WBEM_E_CLASS_HAS_INSTANCES);
  // A class without subclasses or instances can be replaced.
  EXPECT_EQ(ns_.Define(Class("Slot").Key("Rack", CIM_STRING)), WBEM_S_NO_ERROR);
  EXPECT_EQ(Names("Slot", WBEM_FLAG_NONSYSTEM_ONLY), "Rack");
}

TEST_F(RepositoryTest, NewInstanceReportsTheFirstValueThatDoesNotFit) {
  ComPtr<IWbemClassObject> object;
  EXPECT_EQ(ns_.NewInstance("Nope", {}, &object), WBEM_E_INVALID_CLASS);
  EXPECT_EQ(ns_.NewInstance("Disk", {{"Nope", 1}}, &object), WBEM_E_NOT_FOUND);
  EXPECT_EQ(ns_.NewInstance("Disk", {{"Id", 1}}, &object), WBEM_E_TYPE_MISMATCH);
  EXPECT_FALSE(object);
  EXPECT_EQ(repo_.OpenNamespace("bad name").Define(Class("A")), WBEM_E_INVALID_NAMESPACE);
  ComPtr<IWbemServices> none;
  EXPECT_EQ(repo_.Connect("root\\other", &none), WBEM_E_INVALID_NAMESPACE);
  EXPECT_EQ(repo_.Connect("ROOT/ZRV", &none), WBEM_S_NO_ERROR);
}

TEST_F(RepositoryTest, TextFormShowsClassAndValues) {
  auto event = New("Disk_Full", {{"Drive", "C:\\"}, {"Free", 4000000000u}});
  EXPECT_EQ(ObjectToText(event.get()),
            "instance of Disk_Full\n{\n"
            "    ProfileName = NULL;\n"
            "    EventId = NULL;\n"
            "    severity = \"Critical\";\n"
            "    Drive = \"C:\\\\\";\n"
            "    Free = 4000000000;\n"
            "};");
  EXPECT_EQ(Line(event.get()),
            "Disk_Full{ProfileName=NULL; EventId=NULL; severity=\"Critical\"; "
            "Drive=\"C:\\\\\"; Free=4000000000}");
  EXPECT_EQ(ObjectToText(GetObject("LocalDisk").get()),
            "class LocalDisk : Disk\n{\n"
            "    [key] string Id;\n"
            "    uint64 Size;\n"
            "    string Letter;\n"
            "};");
  EXPECT_EQ(ObjectToText(nullptr), "(null)");
}

// Methods ------------------------------------------------------------------

class MethodTest : public RepositoryTest {
 protected:
  void SetUp() override {
    RepositoryTest::SetUp();
    ASSERT_EQ(
        ns_.Define(Class("Service")
                       .Key("Name", CIM_STRING)
                       .Method(MethodDef("Restart")
                                   .In("Delay", CIM_UINT32)
                                   .In("Reason", CIM_STRING)
                                   .Out("Took", CIM_UINT32)
                                   .Provider([this](MethodCall& call) {
                                     calls_.push_back(Describe(call));
                                     call.SetOut("Took", call.Arg("Delay"));
                                     call.Return(return_value_);
                                     return result_;
                                   }))
                       .Method(MethodDef("Ping").Returns(CIM_STRING).Provider([](MethodCall& call) {
                         return call.Return("pong");
                       }))
                       .Method(MethodDef("Unimplemented"))),
        WBEM_S_NO_ERROR);
    ASSERT_EQ(ns_.Define(Class("WebService", "Service")), WBEM_S_NO_ERROR);
    ASSERT_EQ(ns_.AddInstance("WebService", {{"Name", "web"}}), WBEM_S_NO_ERROR);
  }

  // Path|class|method|keys|Delay ("-" without in-parameters).
  static std::string Describe(const MethodCall& call) {
    std::string text = call.path + "|" + call.class_name + "|" + call.method + "|";
    for (const auto& [name, value] : call.keys) text.append(name).append("=").append(value) += ";";
    std::string delay = "-";
    if (call.in != nullptr) FormatVariant(call.Arg("Delay").get(), &delay);
    return text + "|" + delay;
  }

  // Restart's in-parameters with Delay set.
  ComPtr<IWbemClassObject> RestartIn(int delay) {
    ComPtr<IWbemClassObject> signature, in;
    EXPECT_EQ(GetObject("Service")->GetMethod(u"Restart", 0, signature.Out(), nullptr), S_OK);
    EXPECT_EQ(signature->SpawnInstance(0, in.Out()), WBEM_S_NO_ERROR);
    EXPECT_EQ(Put(in.get(), u"Delay", delay), WBEM_S_NO_ERROR);
    return in;
  }

  HRESULT Exec(const char* path, const char* method, IWbemClassObject* in = nullptr) {
    return services_->ExecMethod(Bstr(path).get(), Bstr(method).get(), 0, nullptr, in, out_.Out(),
                                 nullptr);
  }

  ComPtr<IWbemClassObject> out_;
  std::vector<std::string> calls_;
  int return_value_ = 0;
  HRESULT result_ = 0;
};

TEST_F(MethodTest, SignaturesDeclareParametersAndReturnValue) {
  auto cls = GetObject("Service");
  ComPtr<IWbemClassObject> in, out;
  ASSERT_EQ(cls->GetMethod(u"Restart", 0, in.Out(), out.Out()), WBEM_S_NO_ERROR);
  EXPECT_EQ(ObjectToText(in.get()),
            "class __PARAMETERS\n{\n    uint32 Delay;\n    string Reason;\n};");
  EXPECT_EQ(ObjectToText(out.get()),
            "class __PARAMETERS\n{\n    uint32 ReturnValue;\n    uint32 Took;\n};");
  // No in-parameters: no in-signature.
  ASSERT_EQ(cls->GetMethod(u"Ping", 0, in.Out(), out.Out()), WBEM_S_NO_ERROR);
  EXPECT_FALSE(in);
  EXPECT_EQ(ObjectToText(out.get()), "class __PARAMETERS\n{\n    string ReturnValue;\n};");
  // Either out-parameter may be omitted; methods are inherited.
  ASSERT_EQ(GetObject("WebService")->GetMethod(u"restart", 0, in.Out(), nullptr), WBEM_S_NO_ERROR);
  EXPECT_TRUE(in);
  EXPECT_EQ(cls->GetMethod(u"Nope", 0, in.Out(), out.Out()), WBEM_E_NOT_FOUND);
  EXPECT_FALSE(in);
  ComPtr<IWbemClassObject> instance;
  ASSERT_EQ(cls->SpawnInstance(0, instance.Out()), WBEM_S_NO_ERROR);
  EXPECT_EQ(instance->GetMethod(u"Ping", 0, nullptr, out.Out()), WBEM_E_ILLEGAL_OPERATION);
}

TEST_F(MethodTest, RunsTheProviderWithInParametersOnClassAndInstancePaths) {
  return_value_ = 2;
  ASSERT_EQ(Exec(R"(\\.\root\zrv:Service.Name="web")", "Restart", RestartIn(30).get()),
            WBEM_S_NO_ERROR);
  EXPECT_EQ(Line(out_.get()), "__PARAMETERS{ReturnValue=2; Took=30}");
  ASSERT_EQ(Exec(R"(\\.\root\zrv:WebService)", "Restart"), WBEM_S_NO_ERROR);
  EXPECT_EQ(Line(out_.get()), "__PARAMETERS{ReturnValue=2; Took=NULL}");
  EXPECT_THAT(calls_, ElementsAre(R"(\\.\root\zrv:Service.Name="web"|Service|Restart|Name=web;|30)",
                                  R"(\\.\root\zrv:WebService|WebService|Restart||-)"));
  ASSERT_EQ(Exec("Service", "Ping"), WBEM_S_NO_ERROR);
  EXPECT_EQ(Text(out_.get(), "ReturnValue"), "pong");
}

TEST_F(MethodTest, ProviderResultsPassThroughUnchanged) {
  result_ = WBEM_S_FALSE;
  EXPECT_EQ(Exec("Service", "Restart"), WBEM_S_FALSE);
  EXPECT_TRUE(out_);  // success codes keep the out-parameters
  result_ = WBEM_E_ACCESS_DENIED;
  EXPECT_EQ(Exec("Service", "Restart"), WBEM_E_ACCESS_DENIED);
  EXPECT_FALSE(out_);
  ASSERT_EQ(ns_.SetProvider("Service", "Restart",
                            [](MethodCall&) -> HRESULT { throw std::runtime_error("boom"); }),
            WBEM_S_NO_ERROR);
  EXPECT_EQ(Exec(R"(WebService.Name="web")", "Restart"), WBEM_E_PROVIDER_FAILURE);
  EXPECT_EQ(ns_.SetProvider("Service", "Nope", nullptr), WBEM_E_INVALID_METHOD);
}

TEST_F(MethodTest, RecordedCallsNeverReachTheProviderAndAnswerSuccessWithZero) {
  std::vector<std::string> recorded;
  repo_.RecordCallsOnly(
      [&recorded](const MethodCall& call) { recorded.push_back(Describe(call)); });
  // The provider would fail the call and return 2: neither happens.
  result_ = WBEM_E_ACCESS_DENIED;
  return_value_ = 2;
  ASSERT_EQ(Exec(R"(\\.\root\zrv:Service.Name="web")", "Restart", RestartIn(30).get()),
            WBEM_S_NO_ERROR);
  EXPECT_EQ(Line(out_.get()), "__PARAMETERS{ReturnValue=0; Took=NULL}");
  // A string return type takes no 0: the call still succeeds, its ReturnValue NULL.
  ASSERT_EQ(Exec("Service", "Ping"), WBEM_S_NO_ERROR);
  EXPECT_EQ(Line(out_.get()), "__PARAMETERS{ReturnValue=NULL}");
  // What does not resolve fails as a real call does, and is not recorded.
  EXPECT_EQ(Exec(R"(Service.Name="nope")", "Restart"), WBEM_E_NOT_FOUND);
  EXPECT_EQ(Exec("Service", "Unimplemented"), WBEM_E_PROVIDER_NOT_CAPABLE);
  EXPECT_TRUE(calls_.empty());
  EXPECT_THAT(recorded,
              ElementsAre(R"(\\.\root\zrv:Service.Name="web"|Service|Restart|Name=web;|30)",
                          "Service|Service|Ping||-"));
  // Without a recorder, providers run again.
  repo_.RecordCallsOnly({});
  EXPECT_EQ(Exec("Service", "Restart"), WBEM_E_ACCESS_DENIED);
  EXPECT_EQ(calls_.size(), 1u);
}

TEST_F(MethodTest, EachFailureHasItsCode) {
  const std::tuple<const char*, const char*, HRESULT> cases[] = {
      {"Nope", "Restart", WBEM_E_INVALID_CLASS},
      {"Service", "Nope", WBEM_E_INVALID_METHOD},
      {R"(Service.Name="nope")", "Restart", WBEM_E_NOT_FOUND},
      {R"(Service.Other="web")", "Restart", WBEM_E_INVALID_OBJECT_PATH},
      {R"(\\.\other:Service)", "Restart", WBEM_E_INVALID_NAMESPACE},
      {"Service", "Unimplemented", WBEM_E_PROVIDER_NOT_CAPABLE},
  };
  for (const auto& [path, method, hr] : cases) {
    SCOPED_TRACE(std::string(path) + " " + method);
    EXPECT_EQ(Exec(path, method), hr);
    EXPECT_FALSE(out_);
  }
  EXPECT_TRUE(calls_.empty());
  EXPECT_EQ(
      services_->ExecMethod(nullptr, Bstr("Ping").get(), 0, nullptr, nullptr, nullptr, nullptr),
      WBEM_E_INVALID_PARAMETER);
  EXPECT_EQ(services_->ExecMethod(Bstr("Service").get(), Bstr("Ping").get(), 0x10, nullptr, nullptr,
                                  nullptr, nullptr),
            WBEM_E_INVALID_PARAMETER);
}

TEST_F(MethodTest, ProviderMayCallBackIntoTheRepository) {
  ASSERT_EQ(ns_.SetProvider("Service", "Ping",
                            [](MethodCall& call) {
                              ComPtr<IWbemClassObject> found;
                              const HRESULT hr =
                                  call.services->GetObject(Bstr(R"(Service.Name="web")").get(), 0,
                                                           nullptr, found.Out(), nullptr);
                              return call.Return(SUCCEEDED(hr) ? "found" : "missing");
                            }),
            WBEM_S_NO_ERROR);
  ASSERT_EQ(Exec("WebService", "Ping"), WBEM_S_NO_ERROR);  // inherited slot follows
  EXPECT_EQ(Text(out_.get(), "ReturnValue"), "found");
}

TEST(RepositoryLifetimeTest, ServicesOutliveTheRepositoryAndAnswerShuttingDown) {
  const wbem::LiveCounts start = wbem::GetLiveCounts();
  {
    ComPtr<IWbemServices> services;
    std::optional<Namespace> ns;
    {
      Repository repo;
      ns = repo.OpenNamespace("root");
      ASSERT_EQ(ns->Define(Class("A")), WBEM_S_NO_ERROR);
      services = ns->Services();
    }
    ComPtr<IWbemClassObject> object;
    EXPECT_EQ(services->GetObject(Bstr("A").get(), 0, nullptr, object.Out(), nullptr),
              WBEM_E_SHUTTING_DOWN);
    EXPECT_EQ(ns->Define(Class("B")), WBEM_E_SHUTTING_DOWN);
    ComPtr<IWbemObjectSink> sink;
    EXPECT_EQ(services->QueryObjectSink(0, sink.Out()), WBEM_E_SHUTTING_DOWN);
  }
  EXPECT_EQ(wbem::GetLiveCounts(), start);
}

}  // namespace
}  // namespace repository
