#include "settings/object.h"

#include <gtest/gtest.h>

#include "settings/params.h"
#include "settings/string_map.h"

namespace {

TEST(RuntimeClassTest, RecordsChainToTheObjectRoot) {
  const CRuntimeClass* list = &CParamsList::classCParamsList;
  EXPECT_STREQ(list->m_lpszClassName, "CParamsList");
  EXPECT_EQ(list->m_wSchema, 1);
  EXPECT_EQ(CParamsList::_GetBaseClass(), &CObject::classCObject);
  EXPECT_TRUE(list->IsDerivedFrom(&CObject::classCObject));
  EXPECT_TRUE(list->IsDerivedFrom(list));
  EXPECT_FALSE(list->IsDerivedFrom(&CMapStringToOb::classCMapStringToOb));
  EXPECT_FALSE(list->IsDerivedFrom(nullptr));
  EXPECT_FALSE(CObject::classCObject.IsDerivedFrom(list));

  std::unique_ptr<CObject> made = list->CreateObject();
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->GetRuntimeClass(), list);
  EXPECT_TRUE(made->IsKindOf(&CObject::classCObject));
  EXPECT_EQ(CObject::classCObject.CreateObject(), nullptr);
  EXPECT_EQ(CMapStringToOb::classCMapStringToOb.CreateObject(), nullptr);
}

TEST(RuntimeClassTest, FromNameFindsOnlyRegisteredClasses) {
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

}  // namespace
