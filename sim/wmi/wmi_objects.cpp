#include "sim/wmi/wmi_objects.h"

#include <wbemcli.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <optional>

#include "common/object_names.h"
#include "sim/wmi/shared_state.h"

namespace simwmi {
namespace {

using halvaro::kWmiNamespace;
using halvaro::kWmiQueryLanguage;
using halvaro::kHotkeyEventQuery;
using halvaro::kHotkeyCodeProperty;
// What a call on a released enumerator answers: the error a dead proxy gives.
constexpr HRESULT kReleasedResult = RPC_E_DISCONNECTED;
// What a client of a provider that is down, or that has restarted under it, is told.
constexpr HRESULT kProviderGone = HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);

// WMI compares namespaces, query text and property names without regard to case.
bool EqualsNoCase(const wchar_t* text, const wchar_t* expected) {
  return text != nullptr && _wcsicmp(text, expected) == 0;
}

// The process's state, opened on first use and deliberately never closed: the DLL stays loaded
// for the life of the process (see DllCanUnloadNow), and released enumerators still use it.
SharedState* ProcessState() {
  static auto* const state = new std::optional<SharedState>(SharedState::Open());
  return state->has_value() ? &**state : nullptr;
}

template <typename Interface>
HRESULT Hand(Interface* object, void** out) {
  object->AddRef();
  *out = object;
  return S_OK;
}

// ---------------------------------------------------------------------------------------------
// One received event. Reads the fault flag at Get time, so a test can make a delivered event
// unreadable.
class EventObject final : public IWbemClassObject {
 public:
  EventObject(SharedState& state, uint32_t code) : state_(state), code_(code) {}

  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (riid == __uuidof(IUnknown) || riid == __uuidof(IWbemClassObject)) return Hand(this, out);
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  STDMETHODIMP Get(LPCWSTR name, LONG, VARIANT* value, CIMTYPE* type, LONG* flavor) override {
    if (name == nullptr) return WBEM_E_INVALID_PARAMETER;
    // WMI initialises the caller's VARIANT itself, and leaves it empty on failure.
    if (value != nullptr) VariantInit(value);
    const bool unreadable = state_.Locked([](StateRecord& r) { return r.fault_badprop != 0; });
    if (unreadable || !EqualsNoCase(name, kHotkeyCodeProperty)) return WBEM_E_NOT_FOUND;
    if (value != nullptr) {
      value->vt = VT_I4;
      value->lVal = static_cast<LONG>(code_);
    }
    if (type != nullptr) *type = CIM_SINT32;
    if (flavor != nullptr) *flavor = WBEM_FLAVOR_ORIGIN_LOCAL;
    return WBEM_S_NO_ERROR;
  }

  // Not used by the program under test.
  STDMETHODIMP GetQualifierSet(IWbemQualifierSet**) override { return WBEM_E_NOT_SUPPORTED; }
  STDMETHODIMP Put(LPCWSTR, LONG, VARIANT*, CIMTYPE) override { return WBEM_E_NOT_SUPPORTED; }
  STDMETHODIMP Delete(LPCWSTR) override { return WBEM_E_NOT_SUPPORTED; }
  STDMETHODIMP GetNames(LPCWSTR, LONG, VARIANT*, SAFEARRAY**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  STDMETHODIMP BeginEnumeration(LONG) override { return WBEM_E_NOT_SUPPORTED; }
  STDMETHODIMP Next(LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  STDMETHODIMP EndEnumeration() override { return WBEM_E_NOT_SUPPORTED; }
  STDMETHODIMP GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  STDMETHODIMP Clone(IWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
  STDMETHODIMP GetObjectText(LONG, BSTR*) override { return WBEM_E_NOT_SUPPORTED; }
  STDMETHODIMP SpawnDerivedClass(LONG, IWbemClassObject**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  STDMETHODIMP SpawnInstance(LONG, IWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
  STDMETHODIMP CompareTo(LONG, IWbemClassObject*) override { return WBEM_E_NOT_SUPPORTED; }
  STDMETHODIMP GetPropertyOrigin(LPCWSTR, BSTR*) override { return WBEM_E_NOT_SUPPORTED; }
  STDMETHODIMP InheritsFrom(LPCWSTR) override { return WBEM_E_NOT_SUPPORTED; }
  STDMETHODIMP GetMethod(LPCWSTR, LONG, IWbemClassObject**, IWbemClassObject**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  STDMETHODIMP PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  STDMETHODIMP DeleteMethod(LPCWSTR) override { return WBEM_E_NOT_SUPPORTED; }
  STDMETHODIMP BeginMethodEnumeration(LONG) override { return WBEM_E_NOT_SUPPORTED; }
  STDMETHODIMP NextMethod(LONG, BSTR*, IWbemClassObject**, IWbemClassObject**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  STDMETHODIMP EndMethodEnumeration() override { return WBEM_E_NOT_SUPPORTED; }
  STDMETHODIMP GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  STDMETHODIMP GetMethodOrigin(LPCWSTR, BSTR*) override { return WBEM_E_NOT_SUPPORTED; }

 private:
  ~EventObject() = default;

  std::atomic<ULONG> refs_{1};
  SharedState& state_;
  const uint32_t code_;
};

// ---------------------------------------------------------------------------------------------
// The result of the notification query. Once its last reference is released it is never freed:
// it turns into a zombie that counts every further call in calls_after_release, so a program
// that keeps using a released enumerator is caught instead of crashing at random.
class EventEnumerator final : public IEnumWbemClassObject {
 public:
  explicit EventEnumerator(SharedState& state) : state_(state) {
    state_.Locked([this](StateRecord& r) {
      ++r.enumerators_alive;
      generation_ = r.generation;
      provider_restarts_ = r.provider_restarts;
    });
  }

  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (UsedAfterRelease()) return kReleasedResult;
    if (riid == __uuidof(IUnknown) || riid == __uuidof(IEnumWbemClassObject)) {
      return Hand(this, out);
    }
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override {
    if (UsedAfterRelease()) return 0;
    return ++refs_;
  }
  STDMETHODIMP_(ULONG) Release() override {
    if (UsedAfterRelease()) return 0;
    const ULONG left = --refs_;
    if (left == 0) {
      released_ = true;
      state_.Locked([this](StateRecord& r) {
        if (r.generation == generation_) --r.enumerators_alive;
      });
    }
    return left;
  }

  // Waits up to timeout_ms for one pressed code and returns it as one event object.
  STDMETHODIMP Next(LONG timeout_ms, ULONG count, IWbemClassObject** objects,
                    ULONG* returned) override {
    if (returned != nullptr) *returned = 0;
    if (UsedAfterRelease()) return kReleasedResult;
    const bool infinite = timeout_ms == static_cast<LONG>(WBEM_INFINITE);
    if (objects == nullptr || returned == nullptr || count == 0 || (timeout_ms < 0 && !infinite)) {
      return WBEM_E_INVALID_PARAMETER;
    }
    objects[0] = nullptr;
    bool gone = false;
    bool failing = false;
    const bool empty = state_.Locked([this, &gone, &failing](StateRecord& r) {
      ++r.next_calls;
      gone = r.fault_broken != 0 || r.provider_restarts != provider_restarts_;
      if (!gone && r.next_failures_left != 0) {
        --r.next_failures_left;
        ++r.next_failures;
        failing = true;
      }
      return r.fault_empty != 0;
    });
    if (gone) return kProviderGone;
    if (failing) return WBEM_E_FAILED;
    // A provider in trouble can answer at once with success and nothing returned.
    if (empty) return WBEM_S_FALSE;

    const ULONGLONG deadline = GetTickCount64() + (infinite ? 0 : timeout_ms);
    HRESULT result = WBEM_S_TIMEDOUT;
    for (;;) {
      // The queue is checked before every wait: the auto-reset event only says that something
      // was pressed, and a second press may have come before the first was taken.
      if (const std::optional<uint32_t> code = state_.TakePressed()) {
        objects[0] = new (std::nothrow) EventObject(state_, *code);
        if (objects[0] == nullptr) return WBEM_E_OUT_OF_MEMORY;
        *returned = 1;
        result = WBEM_S_NO_ERROR;
        break;
      }
      const ULONGLONG now = GetTickCount64();
      if (!infinite && now >= deadline) break;
      WaitForSingleObject(state_.pressed_event(),
                          infinite ? INFINITE : static_cast<DWORD>(deadline - now));
    }
    // Released by another thread while this call waited: in a real proxy the call would now
    // run on freed memory, so it counts as well.
    if (released_) CountCallAfterRelease();
    return result;
  }

  STDMETHODIMP Reset() override {
    if (UsedAfterRelease()) return kReleasedResult;
    return S_OK;  // a notification stream has no position to go back to
  }
  STDMETHODIMP NextAsync(ULONG, IWbemObjectSink*) override { return Unsupported(); }
  STDMETHODIMP Clone(IEnumWbemClassObject** copy) override {
    if (copy != nullptr) *copy = nullptr;
    return Unsupported();
  }
  STDMETHODIMP Skip(LONG, ULONG) override { return Unsupported(); }

 private:
  ~EventEnumerator() = default;  // never called: see the class comment

  // True, and counted, when the enumerator was already released.
  bool UsedAfterRelease() {
    if (!released_) return false;
    CountCallAfterRelease();
    return true;
  }
  void CountCallAfterRelease() {
    state_.Locked([](StateRecord& r) { ++r.calls_after_release; });
  }
  HRESULT Unsupported() {
    if (UsedAfterRelease()) return kReleasedResult;
    return WBEM_E_NOT_SUPPORTED;
  }

  std::atomic<ULONG> refs_{1};
  std::atomic<bool> released_{false};
  SharedState& state_;
  uint32_t generation_ = 0;
  uint32_t provider_restarts_ = 0;  // as at creation: a later restart leaves this one dead
};

// ---------------------------------------------------------------------------------------------
// The connection to "ROOT\WMI". It answers IClientSecurity because CoSetProxyBlanket asks the
// object for it and fails without it; being in-process, there is no blanket to set.
class Services final : public IWbemServices, public IClientSecurity {
 public:
  explicit Services(SharedState& state) : state_(state) {}

  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (riid == __uuidof(IUnknown) || riid == __uuidof(IWbemServices)) {
      return Hand(static_cast<IWbemServices*>(this), out);
    }
    if (riid == __uuidof(IClientSecurity)) return Hand(static_cast<IClientSecurity*>(this), out);
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  STDMETHODIMP ExecNotificationQuery(const BSTR language, const BSTR query, LONG flags,
                                     IWbemContext*, IEnumWbemClassObject** result) override {
    if (result == nullptr) return WBEM_E_INVALID_PARAMETER;
    *result = nullptr;
    bool gone = false;
    const bool refused = state_.Locked([&gone](StateRecord& r) {
      ++r.query_attempts;
      gone = r.fault_broken != 0;
      return r.fault_query != 0;
    });
    if (gone) return kProviderGone;
    if (refused) return WBEM_E_INVALID_CLASS;  // as if the firmware's class were missing
    if (!EqualsNoCase(language, kWmiQueryLanguage)) return WBEM_E_INVALID_QUERY_TYPE;
    if (!EqualsNoCase(query, kHotkeyEventQuery)) return WBEM_E_INVALID_QUERY;
    // WMI serves notification queries only semisynchronously.
    if (flags != (WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY)) {
      return WBEM_E_INVALID_PARAMETER;
    }
    *result = new (std::nothrow) EventEnumerator(state_);
    if (*result == nullptr) return WBEM_E_OUT_OF_MEMORY;
    state_.Locked([](StateRecord& r) { ++r.queries; });
    return WBEM_S_NO_ERROR;
  }

  // IClientSecurity: accepted and ignored.
  STDMETHODIMP QueryBlanket(IUnknown*, DWORD* authn, DWORD* authz, OLECHAR** principal,
                            DWORD* level, DWORD* impersonation, void** identity,
                            DWORD* capabilities) override {
    if (authn != nullptr) *authn = RPC_C_AUTHN_WINNT;
    if (authz != nullptr) *authz = RPC_C_AUTHZ_NONE;
    if (principal != nullptr) *principal = nullptr;
    if (level != nullptr) *level = RPC_C_AUTHN_LEVEL_CALL;
    if (impersonation != nullptr) *impersonation = RPC_C_IMP_LEVEL_IMPERSONATE;
    if (identity != nullptr) *identity = nullptr;
    if (capabilities != nullptr) *capabilities = EOAC_NONE;
    return S_OK;
  }
  STDMETHODIMP SetBlanket(IUnknown*, DWORD, DWORD, OLECHAR*, DWORD, DWORD, void*,
                          DWORD) override {
    return S_OK;
  }
  STDMETHODIMP CopyProxy(IUnknown* proxy, IUnknown** copy) override {
    if (copy == nullptr) return E_POINTER;
    *copy = proxy;
    if (proxy != nullptr) proxy->AddRef();
    return S_OK;
  }

  // Not used by the program under test.
  STDMETHODIMP OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices**,
                             IWbemCallResult**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  STDMETHODIMP CancelAsyncCall(IWbemObjectSink*) override { return WBEM_E_NOT_SUPPORTED; }
  STDMETHODIMP QueryObjectSink(LONG, IWbemObjectSink**) override { return WBEM_E_NOT_SUPPORTED; }
  STDMETHODIMP GetObject(const BSTR, LONG, IWbemContext*, IWbemClassObject**,
                         IWbemCallResult**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  STDMETHODIMP GetObjectAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  STDMETHODIMP PutClass(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  STDMETHODIMP PutClassAsync(IWbemClassObject*, LONG, IWbemContext*,
                             IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  STDMETHODIMP DeleteClass(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  STDMETHODIMP DeleteClassAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  STDMETHODIMP CreateClassEnum(const BSTR, LONG, IWbemContext*,
                               IEnumWbemClassObject**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  STDMETHODIMP CreateClassEnumAsync(const BSTR, LONG, IWbemContext*,
                                    IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  STDMETHODIMP PutInstance(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  STDMETHODIMP PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*,
                                IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  STDMETHODIMP DeleteInstance(const BSTR, LONG, IWbemContext*, IWbemCallResult**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  STDMETHODIMP DeleteInstanceAsync(const BSTR, LONG, IWbemContext*,
                                   IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  STDMETHODIMP CreateInstanceEnum(const BSTR, LONG, IWbemContext*,
                                  IEnumWbemClassObject**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  STDMETHODIMP CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*,
                                       IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  STDMETHODIMP ExecQuery(const BSTR, const BSTR, LONG, IWbemContext*,
                         IEnumWbemClassObject**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  STDMETHODIMP ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                              IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  STDMETHODIMP ExecNotificationQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                          IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  STDMETHODIMP ExecMethod(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                          IWbemClassObject**, IWbemCallResult**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  STDMETHODIMP ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                               IWbemObjectSink*) override {
    return WBEM_E_NOT_SUPPORTED;
  }

 private:
  ~Services() = default;

  std::atomic<ULONG> refs_{1};
  SharedState& state_;
};

// ---------------------------------------------------------------------------------------------
class Locator final : public IWbemLocator {
 public:
  explicit Locator(SharedState& state) : state_(state) {}

  STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (riid == __uuidof(IUnknown) || riid == __uuidof(IWbemLocator)) return Hand(this, out);
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  // Only the firmware's namespace exists; user, password, locale, authority and context are
  // ignored, as a local connection ignores them.
  STDMETHODIMP ConnectServer(const BSTR resource, const BSTR, const BSTR, const BSTR, LONG,
                             const BSTR, IWbemContext*, IWbemServices** services) override {
    if (services == nullptr) return WBEM_E_INVALID_PARAMETER;
    *services = nullptr;
    bool gone = false;
    bool slow = false;
    const bool refused = state_.Locked([&gone, &slow](StateRecord& r) {
      r.connect_ticks[r.connect_attempts % kConnectTickCount] = GetTickCount();
      ++r.connect_attempts;
      gone = r.fault_broken != 0;
      slow = r.fault_slow != 0;
      return r.fault_connect != 0;
    });
    if (slow) Sleep(kSlowConnectMs);
    if (gone) return kProviderGone;
    if (refused) return WBEM_E_ACCESS_DENIED;
    if (resource == nullptr) return WBEM_E_INVALID_PARAMETER;
    if (!EqualsNoCase(resource, kWmiNamespace)) return WBEM_E_INVALID_NAMESPACE;
    *services = new (std::nothrow) Services(state_);
    if (*services == nullptr) return WBEM_E_OUT_OF_MEMORY;
    state_.Locked([](StateRecord& r) { ++r.connections; });
    return WBEM_S_NO_ERROR;
  }

 private:
  ~Locator() = default;

  std::atomic<ULONG> refs_{1};
  SharedState& state_;
};

}  // namespace

HRESULT CreateLocator(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  SharedState* state = ProcessState();
  if (state == nullptr) return E_FAIL;
  auto* locator = new (std::nothrow) Locator(*state);
  if (locator == nullptr) return E_OUTOFMEMORY;
  const HRESULT result = locator->QueryInterface(riid, object);
  locator->Release();
  return result;
}

}  // namespace simwmi
