#include <gtest/gtest.h>

#include <aclapi.h>

#include "common/unique_resource.h"
#include "common/world_access.h"

namespace halvaro {
namespace {

TEST(WorldAccessTest, DaclGrantsEveryoneExactlyTheMask) {
  WorldAccessAttributes attributes(0x1201BF);
  SECURITY_ATTRIBUTES* sa = attributes.get();
  ASSERT_NE(sa, nullptr);
  EXPECT_FALSE(sa->bInheritHandle);

  BOOL present = FALSE, defaulted = TRUE;
  PACL dacl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(sa->lpSecurityDescriptor, &present, &dacl, &defaulted));
  EXPECT_TRUE(present);
  EXPECT_FALSE(defaulted);
  ASSERT_NE(dacl, nullptr);
  EXPECT_EQ(dacl->AceCount, 1);
  EXPECT_EQ(dacl->AclSize, 1024);

  void* ace_pointer = nullptr;
  ASSERT_TRUE(GetAce(dacl, 0, &ace_pointer));
  auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(ace_pointer);
  EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
  EXPECT_EQ(ace->Mask, 0x1201BFu);

  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  UniqueSid everyone;
  ASSERT_TRUE(AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                       everyone.put()));
  EXPECT_TRUE(EqualSid(&ace->SidStart, everyone.get()));
}

TEST(WorldAccessTest, NamedObjectsCreatedWithItCanBeOpened) {
  WorldAccessAttributes attributes(EVENT_ALL_ACCESS);
  UniqueHandle event(CreateEventW(attributes.get(), FALSE, FALSE, L"Global\\HalvaroWorldTest"));
  ASSERT_TRUE(event);
  UniqueHandle opened(OpenEventW(EVENT_MODIFY_STATE, FALSE, L"Global\\HalvaroWorldTest"));
  EXPECT_TRUE(opened);
}

}  // namespace
}  // namespace halvaro
