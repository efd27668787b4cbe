#include <gtest/gtest.h>

#include <aclapi.h>

#include "common/system_access.h"
#include "common/unique_resource.h"
#include "common/world_access.h"

namespace halvaro {
namespace {

constexpr DWORD kEventQueryState = 0x0001;  // not in the user-mode headers

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

// What the system's access check grants `token` (an impersonation token) of `desired` on an
// object whose DACL is that of `attributes`. The descriptor is owned by LocalSystem, so that
// the caller has no owner's rights: what is granted comes from the DACL alone. 0 when refused.
DWORD Granted(WorldAccessAttributes& attributes, HANDLE token, DWORD desired) {
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  if (!attributes.get() || !GetSecurityDescriptorDacl(attributes.get()->lpSecurityDescriptor,
                                                      &present, &dacl, &defaulted)) {
    ADD_FAILURE() << "no DACL";
    return 0;
  }
  BYTE system_sid[SECURITY_MAX_SID_SIZE];
  DWORD sid_size = sizeof(system_sid);
  SECURITY_DESCRIPTOR descriptor;
  if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, system_sid, &sid_size) ||
      !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&descriptor, present, dacl, FALSE) ||
      !SetSecurityDescriptorOwner(&descriptor, system_sid, FALSE) ||
      !SetSecurityDescriptorGroup(&descriptor, system_sid, FALSE)) {
    ADD_FAILURE() << "descriptor " << GetLastError();
    return 0;
  }
  GENERIC_MAPPING mapping = {STANDARD_RIGHTS_READ | kEventQueryState,
                             STANDARD_RIGHTS_WRITE | EVENT_MODIFY_STATE,
                             STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE, EVENT_ALL_ACCESS};
  PRIVILEGE_SET privileges;
  DWORD privileges_size = sizeof(privileges);
  DWORD granted = 0;
  BOOL allowed = FALSE;
  if (!AccessCheck(&descriptor, token, desired, &mapping, &privileges, &privileges_size,
                   &granted, &allowed)) {
    ADD_FAILURE() << "AccessCheck " << GetLastError();
    return 0;
  }
  return allowed ? granted : 0;
}

// This process's token as an impersonation token, which AccessCheck takes.
UniqueHandle ImpersonationToken() {
  UniqueHandle process;
  UniqueHandle impersonation;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE, process.put()) ||
      !DuplicateToken(process.get(), SecurityImpersonation, impersonation.put())) {
    return UniqueHandle();
  }
  return impersonation;
}

// A local token is granted the mask, whether network logons are denied or not, and nothing
// beyond it. (No test makes a token with the NETWORK group: wine implements neither
// restricting SIDs nor NtCreateToken, and its LogonUser is a stub. The deny entry is checked
// by its form below.)
TEST(WorldAccessTest, TheAccessCheckGrantsALocalTokenTheMaskAndNothingElse) {
  constexpr DWORD kMask = EVENT_MODIFY_STATE | SYNCHRONIZE;
  UniqueHandle token = ImpersonationToken();
  ASSERT_TRUE(token);
  for (auto network : {WorldAccessAttributes::Network::kAllowed,
                       WorldAccessAttributes::Network::kDenied}) {
    SCOPED_TRACE(static_cast<int>(network));
    WorldAccessAttributes attributes(kMask, network);
    EXPECT_EQ(Granted(attributes, token.get(), kMask), kMask);
    EXPECT_EQ(Granted(attributes, token.get(), SYNCHRONIZE), static_cast<DWORD>(SYNCHRONIZE));
    EXPECT_EQ(Granted(attributes, token.get(), MAXIMUM_ALLOWED), kMask);
    for (DWORD outside :
         {DWORD{DELETE}, DWORD{WRITE_DAC}, kEventQueryState, kMask | READ_CONTROL}) {
      EXPECT_EQ(Granted(attributes, token.get(), outside), 0u) << std::hex << outside;
    }
  }
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
