#include "platform/dde/DdeHandles.h"

#include <cctype>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "platform/dde/DdeInstance.h"

namespace orvdde {

namespace {

struct Atom {
  std::string text;
  long refs = 0;
};

struct AtomTable {
  std::mutex lock;
  std::map<std::string, uintptr_t> byText;
  std::map<uintptr_t, Atom> byId;
  std::map<DWORD, std::map<uintptr_t, long>> held;  // instance -> atom -> refs
  // Atom numbers as the platform's: a range of its own, never 0.
  uintptr_t next = 0xC000;
};

AtomTable& Atoms() {
  static AtomTable* table = new AtomTable;  // used by threads that outlive main
  return *table;
}

struct DataEntry {
  DWORD instance;
  std::string bytes;
  HSZ item;
  UINT format;
  bool appOwned;
};

struct DataTable {
  std::mutex lock;
  std::map<uintptr_t, std::unique_ptr<DataEntry>> entries;
  uintptr_t next = 0x10000;
};

DataTable& Datas() {
  static DataTable* table = new DataTable;
  return *table;
}

uintptr_t Id(HSZ hsz) { return reinterpret_cast<uintptr_t>(hsz); }

}  // namespace

std::string Fold(const std::string& text) {
  std::string folded = text;
  for (char& c : folded) c = char(std::tolower(static_cast<unsigned char>(c)));
  return folded;
}

HSZ AtomAdd(DWORD instance, const std::string& text) {
  AtomTable& t = Atoms();
  std::lock_guard<std::mutex> g(t.lock);
  std::string folded = Fold(text);
  uintptr_t id;
  auto it = t.byText.find(folded);
  if (it != t.byText.end()) {
    id = it->second;
  } else {
    id = t.next++;
    t.byText[folded] = id;
    t.byId[id].text = text;  // the first spelling is the one answered
  }
  ++t.byId[id].refs;
  ++t.held[instance][id];
  return reinterpret_cast<HSZ>(id);
}

bool AtomKeep(DWORD instance, HSZ hsz) {
  AtomTable& t = Atoms();
  std::lock_guard<std::mutex> g(t.lock);
  auto it = t.byId.find(Id(hsz));
  if (it == t.byId.end()) return false;
  ++it->second.refs;
  ++t.held[instance][Id(hsz)];
  return true;
}

bool AtomRelease(DWORD instance, HSZ hsz) {
  AtomTable& t = Atoms();
  std::lock_guard<std::mutex> g(t.lock);
  auto it = t.byId.find(Id(hsz));
  auto inst = t.held.find(instance);
  // An instance gives back only what it holds: a stray free must not take
  // a reference that another instance counts on.
  if (it == t.byId.end() || inst == t.held.end()) return false;
  auto mine = inst->second.find(Id(hsz));
  if (mine == inst->second.end()) return false;
  if (--mine->second == 0) inst->second.erase(mine);
  if (--it->second.refs == 0) {
    t.byText.erase(Fold(it->second.text));
    t.byId.erase(it);
  }
  return true;
}

bool AtomText(HSZ hsz, std::string* text) {
  AtomTable& t = Atoms();
  std::lock_guard<std::mutex> g(t.lock);
  auto it = t.byId.find(Id(hsz));
  if (it == t.byId.end()) return false;
  *text = it->second.text;
  return true;
}

void AtomReleaseAll(DWORD instance) {
  AtomTable& t = Atoms();
  std::lock_guard<std::mutex> g(t.lock);
  auto inst = t.held.find(instance);
  if (inst == t.held.end()) return;
  for (auto& [id, refs] : inst->second) {
    auto it = t.byId.find(id);
    if (it == t.byId.end()) continue;
    it->second.refs -= refs;
    if (it->second.refs <= 0) {
      t.byText.erase(Fold(it->second.text));
      t.byId.erase(it);
    }
  }
  t.held.erase(inst);
}

HDDEDATA DataCreate(DWORD instance, const std::string& bytes, HSZ item, UINT format,
                    bool appOwned) {
  DataTable& t = Datas();
  std::lock_guard<std::mutex> g(t.lock);
  uintptr_t id = t.next++;
  t.entries[id].reset(new DataEntry{instance, bytes, item, format, appOwned});
  return reinterpret_cast<HDDEDATA>(id);
}

bool DataRead(HDDEDATA data, std::string* bytes, UINT* format, bool* appOwned) {
  DataTable& t = Datas();
  std::lock_guard<std::mutex> g(t.lock);
  auto it = t.entries.find(reinterpret_cast<uintptr_t>(data));
  if (it == t.entries.end()) return false;
  if (bytes) *bytes = it->second->bytes;
  if (format) *format = it->second->format;
  if (appOwned) *appOwned = it->second->appOwned;
  return true;
}

void DataFreeAll(DWORD instance) {
  DataTable& t = Datas();
  std::lock_guard<std::mutex> g(t.lock);
  for (auto it = t.entries.begin(); it != t.entries.end();) {
    if (it->second->instance == instance)
      it = t.entries.erase(it);
    else
      ++it;
  }
}

}  // namespace orvdde

using namespace orvdde;

HSZ DdeCreateStringHandleA(DWORD instance, LPCSTR text, int codePage) {
  if (!InstanceExists(instance)) return nullptr;
  size_t length = text ? std::strlen(text) : 0;
  if (length == 0 || length > 255 || (codePage != 0 && codePage != CP_WINANSI)) {
    SetInstanceError(instance, DMLERR_INVALIDPARAMETER);
    return nullptr;
  }
  return AtomAdd(instance, text);
}

BOOL DdeFreeStringHandle(DWORD instance, HSZ hsz) {
  if (!InstanceExists(instance)) return FALSE;
  if (!hsz) return TRUE;
  if (AtomRelease(instance, hsz)) return TRUE;
  SetInstanceError(instance, DMLERR_INVALIDPARAMETER);
  return FALSE;
}

BOOL DdeKeepStringHandle(DWORD instance, HSZ hsz) {
  if (!InstanceExists(instance)) return FALSE;
  if (hsz && AtomKeep(instance, hsz)) return TRUE;
  SetInstanceError(instance, DMLERR_INVALIDPARAMETER);
  return FALSE;
}

DWORD DdeQueryStringA(DWORD instance, HSZ hsz, LPSTR text, DWORD max, int codePage) {
  std::string s;
  if (!InstanceExists(instance)) return 0;
  if (!AtomText(hsz, &s) || (codePage != 0 && codePage != CP_WINANSI)) {
    SetInstanceError(instance, DMLERR_INVALIDPARAMETER);
    return 0;
  }
  if (!text) return DWORD(s.size());
  if (max == 0) return 0;
  size_t n = s.size() < max - 1 ? s.size() : max - 1;
  std::memcpy(text, s.data(), n);
  text[n] = '\0';
  return DWORD(n);
}

int DdeCmpStringHandles(HSZ hsz1, HSZ hsz2) {
  uintptr_t a = reinterpret_cast<uintptr_t>(hsz1), b = reinterpret_cast<uintptr_t>(hsz2);
  return a == b ? 0 : (a < b ? -1 : 1);
}

HDDEDATA DdeCreateDataHandle(DWORD instance, LPBYTE source, DWORD size, DWORD offset, HSZ item,
                             UINT format, UINT commands) {
  if (!InstanceExists(instance)) return nullptr;
  if (commands & ~UINT(HDATA_APPOWNED)) {
    SetInstanceError(instance, DMLERR_INVALIDPARAMETER);
    return nullptr;
  }
  // The handle holds `offset` + `size` bytes; the source fills them from
  // `offset` on, as a caller building data in pieces expects.
  std::string bytes(size_t(offset) + size, '\0');
  if (source && size) std::memcpy(&bytes[offset], source, size);
  return DataCreate(instance, bytes, item, format, (commands & HDATA_APPOWNED) != 0);
}

DWORD DdeGetData(HDDEDATA data, LPBYTE destination, DWORD max, DWORD offset) {
  DataTable& t = Datas();
  std::lock_guard<std::mutex> g(t.lock);
  auto it = t.entries.find(reinterpret_cast<uintptr_t>(data));
  if (it == t.entries.end()) return 0;
  const std::string& bytes = it->second->bytes;
  if (offset > bytes.size()) {
    SetInstanceError(it->second->instance, DMLERR_INVALIDPARAMETER);
    return 0;
  }
  size_t available = bytes.size() - offset;
  if (!destination) return DWORD(available);
  size_t n = available < max ? available : max;
  std::memcpy(destination, bytes.data() + offset, n);
  return DWORD(n);
}

LPBYTE DdeAccessData(HDDEDATA data, LPDWORD size) {
  DataTable& t = Datas();
  std::lock_guard<std::mutex> g(t.lock);
  auto it = t.entries.find(reinterpret_cast<uintptr_t>(data));
  if (it == t.entries.end()) return nullptr;
  if (size) *size = DWORD(it->second->bytes.size());
  // The entry lives in its own allocation, so the bytes stay where they are
  // while other handles come and go.
  return reinterpret_cast<LPBYTE>(&it->second->bytes[0]);
}

BOOL DdeUnaccessData(HDDEDATA data) { return DataRead(data, nullptr, nullptr, nullptr); }

BOOL DdeFreeDataHandle(HDDEDATA data) {
  DataTable& t = Datas();
  std::lock_guard<std::mutex> g(t.lock);
  return t.entries.erase(reinterpret_cast<uintptr_t>(data)) ? TRUE : FALSE;
}
