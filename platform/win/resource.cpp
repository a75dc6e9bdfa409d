#include "platform/win/resource.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "platform/win/internal.h"
#include "platform/win/version.h"

namespace {

struct Tables {
  std::mutex mutex;
  std::map<HINSTANCE, std::map<UINT, std::string>> byModule;
};

Tables& AllTables() {
  static Tables* t = new Tables;
  return *t;
}

struct LoadedModule {
  HMODULE base = nullptr;
  std::string path;
};

// Walks the loaded objects; the first is the program itself.
std::vector<LoadedModule> LoadedModules() {
  std::vector<LoadedModule> out;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) -> int {
        auto* list = static_cast<std::vector<LoadedModule>*>(data);
        uintptr_t base = 0;
        bool found = false;
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const auto& ph = info->dlpi_phdr[i];
          if (ph.p_type == PT_LOAD && ph.p_offset == 0) {
            base = info->dlpi_addr + ph.p_vaddr;
            found = true;
            break;
          }
        }
        if (!found) return 0;
        LoadedModule m;
        m.base = reinterpret_cast<HMODULE>(base);
        m.path = info->dlpi_name ? info->dlpi_name : "";
        if (list->empty()) {
          char buf[PATH_MAX];
          ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
          m.path = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
          // The program's file replaced while it runs keeps its name.
          const std::string deleted = " (deleted)";
          if (m.path.size() > deleted.size() &&
              m.path.compare(m.path.size() - deleted.size(), deleted.size(), deleted) == 0)
            m.path.resize(m.path.size() - deleted.size());
        } else if (m.path.empty()) {
          return 0;  // the vDSO
        } else if (char* real = ::realpath(m.path.c_str(), nullptr)) {
          m.path = real;
          std::free(real);
        }
        list->push_back(m);
        return 0;
      },
      &out);
  return out;
}

// "HlUnivOpt.dll", "libHlUnivOpt.so.1", "/x/ORVE.exe" -> "hlunivopt", "orve".
std::string Stem(std::string name) {
  size_t slash = name.find_last_of("/\\");
  if (slash != std::string::npos) name = name.substr(slash + 1);
  size_t so = name.find(".so");
  if (so != std::string::npos && (so + 3 == name.size() || name[so + 3] == '.'))
    name = name.substr(0, so);
  name = orvwin::detail::ToLower(name);
  for (const char* ext : {".dll", ".exe"}) {
    size_t n = std::strlen(ext);
    if (name.size() > n && name.compare(name.size() - n, n, ext) == 0) name.resize(name.size() - n);
  }
  if (name.size() > 3 && name.compare(0, 3, "lib") == 0) name = name.substr(3);
  return name;
}

}  // namespace

namespace orvwin {

void RegisterStringResources(HINSTANCE module, const StringResource* table, size_t count) {
  if (module == nullptr) module = GetModuleHandleA(nullptr);
  Tables& t = AllTables();
  std::lock_guard<std::mutex> lock(t.mutex);
  auto& strings = t.byModule[module];
  for (size_t i = 0; i < count; ++i) strings[table[i].id] = table[i].text ? table[i].text : "";
}

HMODULE ModuleHandleOf(const void* address) {
  Dl_info info;
  if (::dladdr(address, &info) == 0) return nullptr;
  return static_cast<HMODULE>(info.dli_fbase);
}

}  // namespace orvwin

int LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int bufferMax) {
  if (buffer == nullptr || bufferMax <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (instance == nullptr) instance = GetModuleHandleA(nullptr);
  Tables& t = AllTables();
  std::lock_guard<std::mutex> lock(t.mutex);
  auto mod = t.byModule.find(instance);
  const std::string* text = nullptr;
  if (mod != t.byModule.end()) {
    auto it = mod->second.find(id);
    if (it != mod->second.end()) text = &it->second;
  }
  // An empty string is no string, as with compiled resources.
  if (text == nullptr || text->empty()) {
    buffer[0] = '\0';
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return 0;
  }
  size_t n = text->size() < static_cast<size_t>(bufferMax - 1) ? text->size()
                                                               : static_cast<size_t>(bufferMax - 1);
  std::memcpy(buffer, text->data(), n);
  buffer[n] = '\0';
  return static_cast<int>(n);
}

HMODULE GetModuleHandleA(LPCSTR moduleName) {
  std::vector<LoadedModule> modules = LoadedModules();
  if (modules.empty()) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  if (moduleName == nullptr) return modules.front().base;
  std::string want = Stem(moduleName);
  for (const auto& m : modules)
    if (!m.path.empty() && Stem(m.path) == want) return m.base;
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
  std::vector<LoadedModule> modules = LoadedModules();
  const LoadedModule* found = nullptr;
  for (const auto& m : modules) {
    if (module == nullptr ? &m == &modules.front() : m.base == module) {
      found = &m;
      break;
    }
  }
  if (found == nullptr || found->path.empty()) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  if (fileName == nullptr || size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  const std::string& p = found->path;
  if (p.size() + 1 > size) {
    std::memcpy(fileName, p.data(), size - 1);
    fileName[size - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::memcpy(fileName, p.data(), p.size() + 1);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(p.size());
}

// ---- file versions ----------------------------------------------------------

namespace {

struct VersionBlock {
  char magic[8];  // tells our blocks from any other memory handed in
  VS_FIXEDFILEINFO fixed;
};
const char kVersionMagic[8] = {'O', 'R', 'V', 'V', 'E', 'R', '1', '\0'};

std::map<HMODULE, VS_FIXEDFILEINFO>& Versions() {
  static auto* v = new std::map<HMODULE, VS_FIXEDFILEINFO>;
  return *v;
}

bool VersionOfFile(LPCSTR fileName, VS_FIXEDFILEINFO& out) {
  if (fileName == nullptr) return false;
  std::string want = fileName;
  if (char* real = ::realpath(fileName, nullptr)) {
    want = real;
    std::free(real);
  }
  for (const auto& m : LoadedModules()) {
    if (m.path != want) continue;
    std::lock_guard<std::mutex> lock(AllTables().mutex);
    auto it = Versions().find(m.base);
    if (it == Versions().end()) return false;
    out = it->second;
    return true;
  }
  return false;
}

}  // namespace

namespace orvwin {

void RegisterFileVersion(HMODULE module, WORD major, WORD minor, WORD third, WORD fourth) {
  if (module == nullptr) module = GetModuleHandleA(nullptr);
  VS_FIXEDFILEINFO f{};
  f.dwSignature = VS_FFI_SIGNATURE;
  f.dwStrucVersion = VS_FFI_STRUCVERSION;
  f.dwFileVersionMS = f.dwProductVersionMS = (static_cast<DWORD>(major) << 16) | minor;
  f.dwFileVersionLS = f.dwProductVersionLS = (static_cast<DWORD>(third) << 16) | fourth;
  f.dwFileOS = VOS__WINDOWS32;
  f.dwFileType = module == GetModuleHandleA(nullptr) ? VFT_APP : VFT_DLL;
  std::lock_guard<std::mutex> lock(AllTables().mutex);
  Versions()[module] = f;
}

}  // namespace orvwin

DWORD GetFileVersionInfoSizeA(LPCSTR fileName, LPDWORD handle) {
  if (handle) *handle = 0;
  VS_FIXEDFILEINFO f;
  if (!VersionOfFile(fileName, f)) {
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return 0;
  }
  return sizeof(VersionBlock);
}

BOOL GetFileVersionInfoA(LPCSTR fileName, DWORD, DWORD length, LPVOID data) {
  VersionBlock block;
  if (!VersionOfFile(fileName, block.fixed)) {
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return FALSE;
  }
  if (data == nullptr || length < sizeof block) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(block.magic, kVersionMagic, sizeof block.magic);
  std::memcpy(data, &block, sizeof block);
  return TRUE;
}

BOOL VerQueryValueA(LPCVOID block, LPCSTR subBlock, LPVOID* buffer, PUINT length) {
  if (block == nullptr || subBlock == nullptr || buffer == nullptr || length == nullptr) return FALSE;
  auto* b = static_cast<const VersionBlock*>(block);
  if (std::memcmp(b->magic, kVersionMagic, sizeof kVersionMagic) != 0) return FALSE;
  if (std::strcmp(subBlock, "\\") != 0) {
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return FALSE;
  }
  *buffer = const_cast<VS_FIXEDFILEINFO*>(&b->fixed);
  *length = sizeof b->fixed;
  return TRUE;
}
