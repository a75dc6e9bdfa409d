// What the twelve cursor classes share: the common state (lock, records,
// position, current record), Next and Find, the string hand-out rules and
// the conversions from record codes to the interface's enums.
//
// Every member of a cursor takes the object's lock: clients reach one cursor
// from several call threads at once, and a read must never see a current
// record that Next is halfway through replacing.
#pragma once

#include <atomic>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "platform/com/com.h"
#include "server/contract/BraskOrvEntTypes.h"
#include "server/contract/Records.h"
#include "platform/win/windows.h"

namespace orvsrv {

// The characters of a shared string; null when it is absent.
inline const OLECHAR* Chars(const _bstr_t& s) { return static_cast<const OLECHAR*>(s); }

// Hands a string to the caller as a new allocation that the caller owns; an
// absent string goes out as a null string.
HRESULT CopyOut(const _bstr_t& s, BSTR* out);
// An exchange that holds no character reads as "*".
HRESULT CopyOutExchange(const _bstr_t& s, BSTR* out);

// Upper-cases the letters a to z in place.
void UpperCase(BSTR s);

// An address as the log lines show it: upper-case hexadecimal, zero-padded
// to the width of a pointer, without a prefix.
std::string PtrText(const void* p);

inline StockTypeEnum StockTypeOf(char code) { return code == 'S' ? enStock : enIndex; }
inline OptionTypeEnum OptionTypeOf(char code) { return code == 'C' ? enCall : enPut; }
inline OptionStyleEnum OptionStyleOf(char code) { return code == 'A' ? enAmerican : enEuropean; }

// The spot surface shows its out-of-the-money level as a 16-bit integer,
// truncated toward zero. A level outside that range (or not a number) comes
// from bad feed data; it is clamped rather than left to an undefined cast.
SHORT OtmToShort(float level);

// Strings of an all-fields call are allocated before anything is written,
// so that a failed allocation hands out nothing and leaks nothing.
class OutStrings {
 public:
  OutStrings() = default;
  OutStrings(const OutStrings&) = delete;
  OutStrings& operator=(const OutStrings&) = delete;
  ~OutStrings();

  void Add(const _bstr_t& s, BSTR* out);
  void AddExchange(const _bstr_t& s, BSTR* out);
  // Writes every string out, or frees them all and answers E_OUTOFMEMORY.
  HRESULT Commit();

 private:
  struct Item {
    BSTR value;
    BSTR* out;
  };
  void Keep(HRESULT copied, BSTR value, BSTR* out);
  std::vector<Item> m_items;
  bool m_failed = false;
};

inline bool AllNonNull() { return true; }
template <class P, class... Rest>
bool AllNonNull(P* p, Rest*... rest) {
  return p != nullptr && AllNonNull(rest...);
}

// The state and the walking of one cursor class T over records of kind R.
// T supplies the object's lock (Lock and Unlock of its object root) and the
// key of Find (static const _bstr_t& Key(const R&)) unless it defines Find
// itself.
template <class T, class R>
class CCursorImpl {
 public:
  typedef R RecordType;

  // Fills a new cursor: copies the records (their strings are shared, not
  // copied) and makes the first one current.
  void SetData(const std::vector<R>& records) {
    CursorLock lock(this);
    m_records = records;
    if (!m_records.empty()) m_cur = m_records[0];
  }
  // The same, taking over records that the caller no longer needs: an event
  // of a whole block is not copied once more.
  void SetData(std::vector<R>&& records) {
    CursorLock lock(this);
    m_records = std::move(records);
    if (!m_records.empty()) m_cur = m_records[0];
  }

  // Live objects of the class, across the process.
  static LONG ActiveObjectCount() { return s_active.load(); }

 protected:
  // Holds the object's lock for a scope; it is re-entrant.
  class CursorLock {
   public:
    explicit CursorLock(CCursorImpl* cursor) : m_owner(static_cast<T*>(cursor)) { m_owner->Lock(); }
    ~CursorLock() { m_owner->Unlock(); }
    CursorLock(const CursorLock&) = delete;
    CursorLock& operator=(const CursorLock&) = delete;

   private:
    T* m_owner;
  };

  CCursorImpl() = default;
  ~CCursorImpl() = default;
  CCursorImpl(const CCursorImpl&) = delete;
  CCursorImpl& operator=(const CCursorImpl&) = delete;

  static LONG CountCreated() { return ++s_active; }
  static LONG CountDeleted() { return --s_active; }

  // Moves to the next record. Past the end the last record stays current
  // and every further call answers VARIANT_FALSE. The position stops one
  // past the end rather than growing without bound, so no number of calls
  // can wrap it back onto the first record.
  HRESULT NextImpl(VARIANT_BOOL* bVal) {
    if (bVal == nullptr) return E_POINTER;
    CursorLock lock(this);
    const size_t count = m_records.size();
    if (m_index < count) ++m_index;
    if (m_index < count) {
      m_cur = m_records[m_index];
      *bVal = VARIANT_TRUE;
    } else {
      *bVal = VARIANT_FALSE;
    }
    return S_OK;
  }

  // Finds the first record whose key equals Symbol, searching from the
  // first record whatever the position. Symbol is upper-cased in place:
  // callers have relied on reading it back that way. A miss leaves the
  // position and the current record as they were.
  HRESULT FindImpl(BSTR Symbol, VARIANT_BOOL* bVal) {
    const UINT length = SysStringLen(Symbol);
    if (Symbol == nullptr || length == 0) return E_INVALIDARG;
    if (bVal == nullptr) return E_POINTER;
    UpperCase(Symbol);
    CursorLock lock(this);
    *bVal = VARIANT_FALSE;
    for (size_t i = 0; i < m_records.size(); ++i) {
      const _bstr_t& key = T::Key(m_records[i]);
      if (CompareSymbols(Chars(key), key.length(), Symbol, length) == 0) {
        m_index = static_cast<ULONG>(i);
        m_cur = m_records[i];
        *bVal = VARIANT_TRUE;
        break;
      }
    }
    return S_OK;
  }

  std::vector<R> m_records;
  ULONG m_index = 0;
  // The current record, shown through the properties with their
  // conversions; it shares its strings with m_records.
  R m_cur;

 private:
  inline static std::atomic<LONG> s_active{0};
};

// A new cursor of class C over records (a copy, or taken over from an
// rvalue), as its interface iid. Raises _com_error when it cannot be made;
// nothing is then left behind.
template <class C, class I, class Records>
CComPtr<I> NewCursor(Records&& records, REFIID iid) {
  CComObject<C>* object = nullptr;
  HRESULT hr = CComObject<C>::CreateInstance(&object);
  if (FAILED(hr)) _com_issue_error(hr);
  // Our own reference around the query, so that a refused one frees the
  // object; the interface reference keeps it afterwards.
  object->AddRef();
  I* raw = nullptr;
  hr = object->QueryInterface(iid, reinterpret_cast<void**>(&raw));
  CComPtr<I> cursor;
  cursor.Attach(raw);
  object->Release();
  if (FAILED(hr) || !cursor) _com_issue_error(FAILED(hr) ? hr : E_NOINTERFACE);
  object->SetData(std::forward<Records>(records));
  return cursor;
}

}  // namespace orvsrv

// Property getters of the current record: E_POINTER for a null pointer,
// otherwise the value under the object's lock.
#define ORV_CURSOR_GET_VALUE(Name, Type, expr)      \
  STDMETHODIMP get_##Name(Type* pVal) {             \
    if (pVal == nullptr) return E_POINTER;          \
    CursorLock orv_lock_(this);                      \
    *pVal = (expr);                                 \
    return S_OK;                                    \
  }

#define ORV_CURSOR_GET_STRING(Name, expr)           \
  STDMETHODIMP get_##Name(BSTR* pVal) {             \
    if (pVal == nullptr) return E_POINTER;          \
    CursorLock orv_lock_(this);                      \
    return ::orvsrv::CopyOut((expr), pVal);         \
  }

#define ORV_CURSOR_GET_EXCHANGE(Name, expr)         \
  STDMETHODIMP get_##Name(BSTR* pVal) {             \
    if (pVal == nullptr) return E_POINTER;          \
    CursorLock orv_lock_(this);                      \
    return ::orvsrv::CopyOutExchange((expr), pVal); \
  }
