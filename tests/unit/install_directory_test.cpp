#include <gtest/gtest.h>

#include <windows.h>

#include "service/install_directory.h"

namespace halvaro {
namespace {

struct Sid {
  alignas(DWORD) BYTE bytes[SECURITY_MAX_SID_SIZE] = {};
  bool made = false;
  PSID get() { return made ? bytes : nullptr; }
};

Sid WellKnown(WELL_KNOWN_SID_TYPE type) {
  Sid sid;
  DWORD size = sizeof(sid.bytes);
  sid.made = CreateWellKnownSid(type, nullptr, sid.bytes, &size) != FALSE;
  return sid;
}

struct Entry {
  WELL_KNOWN_SID_TYPE who;
  ACCESS_MASK mask;
  BYTE flags;
  bool deny;
};

// A directory's DACL of these entries, then the judgement on it.
bool LetsOthersWrite(std::initializer_list<Entry> entries, PSID installer = nullptr) {
  alignas(DWORD) BYTE buffer[1024] = {};
  auto* acl = reinterpret_cast<PACL>(buffer);
  EXPECT_TRUE(InitializeAcl(acl, sizeof(buffer), ACL_REVISION));
  for (const Entry& e : entries) {
    Sid sid = WellKnown(e.who);
    EXPECT_TRUE(sid.made);
    EXPECT_TRUE(e.deny ? AddAccessDeniedAceEx(acl, ACL_REVISION, e.flags, e.mask, sid.get())
                       : AddAccessAllowedAceEx(acl, ACL_REVISION, e.flags, e.mask, sid.get()));
  }
  return DaclLetsOthersWrite(acl, installer);
}

TEST(InstallDirectoryTest, OnlyAdministratorsAndTheSystemMayChangeIt) {
  constexpr ACCESS_MASK kReadExecute = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;
  constexpr ACCESS_MASK kModify = kReadExecute | FILE_GENERIC_WRITE | DELETE;
  // As Program Files: the system and administrators change it, users read it, creator-owner
  // rights apply only to what is made inside.
  EXPECT_FALSE(LetsOthersWrite({{WinLocalSystemSid, GENERIC_ALL, 0, false},
                                {WinBuiltinAdministratorsSid, FILE_ALL_ACCESS, 0, false},
                                {WinBuiltinUsersSid, kReadExecute, 0, false},
                                {WinCreatorOwnerSid, GENERIC_ALL, INHERIT_ONLY_ACE, false},
                                {WinBuiltinUsersSid, kModify, INHERIT_ONLY_ACE, false}}));
  // Users may add files (as in C:\ itself), everyone may write, authenticated users modify.
  EXPECT_TRUE(LetsOthersWrite({{WinBuiltinAdministratorsSid, FILE_ALL_ACCESS, 0, false},
                               {WinBuiltinUsersSid, FILE_ADD_FILE, 0, false}}));
  EXPECT_TRUE(LetsOthersWrite({{WinWorldSid, GENERIC_WRITE, 0, false}}));
  EXPECT_TRUE(LetsOthersWrite({{WinAuthenticatedUserSid, kModify, 0, false}}));
  // A deny entry takes away only; the installing administrator's own account may write.
  EXPECT_FALSE(LetsOthersWrite({{WinWorldSid, GENERIC_ALL, 0, true}}));
  Sid installer = WellKnown(WinInteractiveSid);
  EXPECT_FALSE(LetsOthersWrite({{WinInteractiveSid, FILE_ALL_ACCESS, 0, false}}, installer.get()));
  // No DACL at all lets everyone do everything.
  EXPECT_TRUE(DaclLetsOthersWrite(nullptr, nullptr));
}

}  // namespace
}  // namespace halvaro
