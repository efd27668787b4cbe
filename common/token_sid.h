// The user or the default owner that an access token names, copied into the object.
//
// Threading: build and use on one thread. get() points into the object, which is therefore
// neither copied nor moved.
#pragma once

#include <windows.h>

#include "common/unique_resource.h"

namespace halvaro {

// The token of `process`, opened for TOKEN_QUERY; empty when it cannot be opened.
inline UniqueHandle QueryToken(HANDLE process) {
  HANDLE token = nullptr;
  if (!process || !OpenProcessToken(process, TOKEN_QUERY, &token)) return UniqueHandle();
  return UniqueHandle(token);
}

class TokenSid {
 public:
  // `which` is TokenUser or TokenOwner; `token` needs TOKEN_QUERY.
  TokenSid(HANDLE token, TOKEN_INFORMATION_CLASS which) {
    DWORD size = 0;
    if (!token || !GetTokenInformation(token, which, &info_, sizeof(info_), &size)) return;
    sid_ = which == TokenOwner ? info_.owner.Owner : info_.user.User.Sid;
  }
  TokenSid(const TokenSid&) = delete;
  TokenSid& operator=(const TokenSid&) = delete;

  PSID get() const { return sid_; }  // null when the token could not be read

 private:
  union {
    TOKEN_USER user;
    TOKEN_OWNER owner;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } info_;
  PSID sid_ = nullptr;
};

}  // namespace halvaro
