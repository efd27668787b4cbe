#include <gtest/gtest.h>

#include <aclapi.h>

#include "common/system_access.h"
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

TEST(WorldAccessTest, NetworkLogonsAreDeniedBeforeEveryoneIsAllowed) {
  WorldAccessAttributes attributes(0x1201BF, WorldAccessAttributes::Network::kDenied);
  ASSERT_NE(attributes.get(), nullptr);
  BOOL present = FALSE, defaulted = TRUE;
  PACL dacl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(attributes.get()->lpSecurityDescriptor, &present, &dacl,
                                        &defaulted));
  ASSERT_NE(dacl, nullptr);
  ASSERT_EQ(dacl->AceCount, 2);

  void* first = nullptr;
  void* second = nullptr;
  ASSERT_TRUE(GetAce(dacl, 0, &first));
  ASSERT_TRUE(GetAce(dacl, 1, &second));
  auto* deny = static_cast<ACCESS_DENIED_ACE*>(first);
  EXPECT_EQ(deny->Header.AceType, ACCESS_DENIED_ACE_TYPE);
  EXPECT_NE(deny->Mask & GENERIC_ALL, 0u);
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  UniqueSid network;
  ASSERT_TRUE(AllocateAndInitializeSid(&nt, 1, SECURITY_NETWORK_RID, 0, 0, 0, 0, 0, 0, 0,
                                       network.put()));
  EXPECT_TRUE(EqualSid(&deny->SidStart, network.get()));
  auto* allow = static_cast<ACCESS_ALLOWED_ACE*>(second);
  EXPECT_EQ(allow->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
  EXPECT_EQ(allow->Mask, 0x1201BFu);
}

TEST(SystemAccessTest, OnlyLocalSystemAndAdministratorsMayChangeTheObject) {
  SystemOnlyAttributes attributes;
  ASSERT_NE(attributes.get(), nullptr);
  UniqueHandle event(CreateEventW(attributes.get(), FALSE, FALSE, L"Global\\HalvaroSystemTest"));
  ASSERT_TRUE(event);
  // Read back from the object, as another program would meet it.
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(GetSecurityInfo(event.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, &dacl, nullptr, &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  ASSERT_NE(dacl, nullptr);
  ASSERT_EQ(dacl->AceCount, 2);
  const WELL_KNOWN_SID_TYPE expected[] = {WinLocalSystemSid, WinBuiltinAdministratorsSid};
  for (DWORD i = 0; i < 2; ++i) {
    void* ace_pointer = nullptr;
    ASSERT_TRUE(GetAce(dacl, i, &ace_pointer));
    auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(ace_pointer);
    EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_TRUE(IsWellKnownSid(&ace->SidStart, expected[i])) << i;
  }
  LocalFree(descriptor);
  // This process made it: it is taken as the system's own (the agent's single-instance test).
  EXPECT_TRUE(OwnedBySystemOrSelf(event.get()));
}

}  // namespace
}  // namespace halvaro
