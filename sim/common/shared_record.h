// A record that every process of a (test) machine shares: a file under the common application
// data folder, mapped by name, and a named mutex that guards it. The state is a file, not page
// file memory, so that a setting made by a control program that has since exited is still
// there when the program under test reads it.
//
// Threading: hold a Guard on lock() for every access to data(), from any thread or process.
#pragma once

#include <windows.h>

#include <optional>

#include "common/unique_resource.h"

namespace simcom {

class SharedRecord {
 public:
  // Opens the file %ProgramData%\<directory>\<file>, its mapping and the lock, creating what
  // does not exist yet; a new file is zero-filled to `size` bytes. Returns nothing, with the
  // last error set, when one of them cannot be opened. Everyone is granted the access used.
  static std::optional<SharedRecord> Open(const wchar_t* directory, const wchar_t* file,
                                          const wchar_t* mapping_name, const wchar_t* lock_name,
                                          DWORD size);

  void* data() const { return view_.get(); }
  HANDLE lock() const { return lock_.get(); }

  class Guard {
   public:
    // An abandoned mutex still hands over ownership; the records' fields are each written in
    // one step, so a holder that died cannot have left one half-written.
    explicit Guard(HANDLE mutex) : mutex_(mutex) { WaitForSingleObject(mutex_, INFINITE); }
    ~Guard() { ReleaseMutex(mutex_); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

   private:
    HANDLE mutex_;
  };

 private:
  SharedRecord() = default;

  halvaro::UniqueHandle mapping_;
  halvaro::UniqueMappedView view_;  // declared after mapping_ so that it is unmapped first
  halvaro::UniqueHandle lock_;
};

// A named event that Everyone may wait on and set, created or opened. Empty on failure.
halvaro::UniqueHandle CreateWorldEvent(const wchar_t* name, bool manual_reset);

}  // namespace simcom
