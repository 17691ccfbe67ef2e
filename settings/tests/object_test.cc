#include "settings/object.h"

#include <gtest/gtest.h>

#include "settings/action_rule.h"
#include "settings/params.h"
#include "settings/registry.h"

namespace {

TEST(RuntimeClassTest, RecordsChainToTheObjectRootWhichCannotBeCreated) {
  const CRuntimeClass* rule = &CActionRule::classCActionRule;
  EXPECT_EQ(rule->m_wSchema, 1);
  EXPECT_EQ(CActionRule::_GetBaseClass(), &CMapStringToOb::classCMapStringToOb);
  EXPECT_TRUE(rule->IsDerivedFrom(&CObject::classCObject));
  EXPECT_FALSE(rule->IsDerivedFrom(&CParamsList::classCParamsList));
  EXPECT_FALSE(rule->IsDerivedFrom(nullptr));
  EXPECT_FALSE(CObject::classCObject.IsDerivedFrom(rule));
  EXPECT_EQ(CObject::classCObject.CreateObject(), nullptr);
  EXPECT_EQ(CMapStringToOb::classCMapStringToOb.CreateObject(), nullptr);
}

TEST(RuntimeClassTest, FromNameFindsOnlyRegisteredClassesByExactName) {
  const CRuntimeClass* list = &CParamsList::classCParamsList;
  EXPECT_EQ(CRuntimeClass::FromName("CParamsList"), nullptr);
  ASSERT_TRUE(AmRegisterClass(list));
  EXPECT_EQ(CRuntimeClass::FromName("CParamsList"), list);
  EXPECT_EQ(CRuntimeClass::FromName("cparamslist"), nullptr);
  EXPECT_EQ(CRuntimeClass::FromName(nullptr), nullptr);
  // Another record under the same name is refused and does not unregister ours.
  const CRuntimeClass impostor = {"CParamsList", 1, nullptr, nullptr};
  EXPECT_FALSE(AmRegisterClass(&impostor));
  AmUnregisterClass(&impostor);
  EXPECT_EQ(CRuntimeClass::FromName("CParamsList"), list);
  AmUnregisterClass(list);
  EXPECT_EQ(CRuntimeClass::FromName("CParamsList"), nullptr);
  EXPECT_FALSE(AmRegisterClass(nullptr));
}

TEST(SettingsRegistryTest, RegistersEveryCreatableClassAllOrNothing) {
  const CRuntimeClass squatter = {"CActionRule", 1, nullptr, nullptr};
  ASSERT_TRUE(AmRegisterClass(&squatter));
  EXPECT_FALSE(AmRegisterSettingsClasses());
  EXPECT_EQ(CRuntimeClass::FromName("CParamsList"), nullptr);
  EXPECT_EQ(CRuntimeClass::FromName("CActionRule"), &squatter);
  AmUnregisterClass(&squatter);

  ASSERT_TRUE(AmRegisterSettingsClasses());
  for (const char* name :
       {"CParamsList", "CBaseActionInfo", "CBuiltInActionInfo", "CTaskActionInfo",
        "CProgramActionInfo", "CActionRule", "CActionManagerSettings", "CStringListParameter",
        "CNumericListParameter"}) {
    SCOPED_TRACE(name);
    const CRuntimeClass* c = CRuntimeClass::FromName(name);
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(c->m_lpszClassName, name);
    std::unique_ptr<CObject> object = c->CreateObject();
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->GetRuntimeClass(), c);
    EXPECT_TRUE(object->IsKindOf(&CObject::classCObject));
  }
  EXPECT_EQ(CRuntimeClass::FromName("CEventDef"), nullptr);
  EXPECT_EQ(CRuntimeClass::FromName("CMapStringToOb"), nullptr);
  // A second registration fails and leaves the first one standing.
  EXPECT_FALSE(AmRegisterSettingsClasses());
  EXPECT_NE(CRuntimeClass::FromName("CActionRule"), nullptr);
  AmUnregisterSettingsClasses();
  EXPECT_EQ(CRuntimeClass::FromName("CActionRule"), nullptr);
}

}  // namespace
