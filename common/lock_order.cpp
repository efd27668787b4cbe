#include "common/lock_order.h"

#ifdef HALVARO_CHECK_LOCK_ORDER

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace halvaro {

namespace {

// A thread's held ranks are a set, one bit per rank, kept in the value of one TLS slot: the
// order allows each rank at most once, so the set is the whole stack, and no per-thread
// memory is needed. (The win32 thread model's thread_local is emulated: it allocates a block
// for each thread that touches it, and the service starts threads for its pipe connections
// all the time.)
constexpr int kRankCount = static_cast<int>(LockRank::kEventLog) + 1;
static_assert(kRankCount <= 32, "the held ranks are one 32-bit set");

std::atomic<DWORD> g_slot{TLS_OUT_OF_INDEXES};

// The rank's enumerator name without its "k", for the report.
const wchar_t* LockRankName(LockRank rank) {
  switch (rank) {
    case LockRank::kUnranked: return L"Unranked";
    case LockRank::kLifecycle: return L"Lifecycle";
    case LockRank::kEventListener: return L"EventListener";
    case LockRank::kVolumeBackend: return L"VolumeBackend";
    case LockRank::kVolumeWatcherCall: return L"VolumeWatcherCall";
    case LockRank::kMixerCallback: return L"MixerCallback";
    case LockRank::kVolumeOperation: return L"VolumeOperation";
    case LockRank::kMixerVolume: return L"MixerVolume";
    case LockRank::kSerialLink: return L"SerialLink";
    case LockRank::kSubscriptions: return L"Subscriptions";
    case LockRank::kStatusRecord: return L"StatusRecord";
    case LockRank::kLeaf: return L"Leaf";
    case LockRank::kEventLog: return L"EventLog";
  }
  return L"?";
}

void ReportAndAbort(LockRank held, LockRank taken) {
  const std::wstring line = std::wstring(L"Lock order violated: taking ") + LockRankName(taken) +
                            L" while holding " + LockRankName(held) + L"\n";
  OutputDebugStringW(line.c_str());
  fputws(line.c_str(), stderr);
  fflush(stderr);
  abort();
}

std::atomic<LockOrderReporter> g_reporter{ReportAndAbort};

// The slot, allocated by the first thread that needs it; TLS_OUT_OF_INDEXES when none is
// left, and the order is then not checked.
DWORD Slot() {
  DWORD slot = g_slot.load(std::memory_order_acquire);
  if (slot != TLS_OUT_OF_INDEXES) return slot;
  const DWORD mine = TlsAlloc();
  if (mine == TLS_OUT_OF_INDEXES) return mine;
  if (g_slot.compare_exchange_strong(slot, mine, std::memory_order_acq_rel)) return mine;
  TlsFree(mine);  // another thread was first
  return slot;
}

uint32_t Bit(LockRank rank) { return 1u << static_cast<unsigned>(rank); }

// Reads or changes the calling thread's held set, leaving its last error as it was
// (TlsGetValue clears it).
class HeldRanks {
 public:
  HeldRanks() : last_error_(GetLastError()), slot_(Slot()) {
    if (slot_ != TLS_OUT_OF_INDEXES) {
      held_ = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(TlsGetValue(slot_)));
    }
  }
  ~HeldRanks() { SetLastError(last_error_); }
  HeldRanks(const HeldRanks&) = delete;
  HeldRanks& operator=(const HeldRanks&) = delete;

  uint32_t get() const { return held_; }
  void set(uint32_t held) {
    if (slot_ == TLS_OUT_OF_INDEXES) return;
    held_ = held;
    TlsSetValue(slot_, reinterpret_cast<void*>(static_cast<uintptr_t>(held)));
  }

 private:
  const DWORD last_error_;
  const DWORD slot_;
  uint32_t held_ = 0;
};

LockRank HighestRank(uint32_t held) {
  int rank = kRankCount - 1;
  while (rank > 0 && (held & (1u << rank)) == 0) --rank;
  return static_cast<LockRank>(rank);
}

}  // namespace

LockOrderReporter SetLockOrderReporter(LockOrderReporter reporter) {
  return g_reporter.exchange(reporter ? reporter : ReportAndAbort);
}

void CheckLockOrder(LockRank rank) {
  if (rank == LockRank::kUnranked) return;
  LockRank highest;
  {
    HeldRanks held;
    // Every held rank must be below `rank`: no bit at or above it.
    if ((held.get() >> static_cast<unsigned>(rank)) == 0) return;
    highest = HighestRank(held.get());
  }
  g_reporter.load()(highest, rank);
}

void RecordLockTaken(LockRank rank) {
  if (rank == LockRank::kUnranked) return;
  HeldRanks held;
  held.set(held.get() | Bit(rank));
}

void RecordLockReleased(LockRank rank) {
  if (rank == LockRank::kUnranked) return;
  HeldRanks held;
  held.set(held.get() & ~Bit(rank));
}

}  // namespace halvaro

#endif  // HALVARO_CHECK_LOCK_ORDER
