// The DDE service "ZmDDE": its instances, item handles and the callback that
// routes every transaction. All of it runs on the thread that started the
// service, from its message loop.
#include <cstring>
#include <new>

#include "dde/CDDEServer.h"
#include "dde/ItemCatalogue.h"
#include "dde/RequestRenderer.h"
#include "platform/ui/dialogs.h"
#include "platform/ui/shellapi.h"

namespace zmdde {

namespace {

const char kServiceName[] = "ZmDDE";
const char kRefusedText[] =
    "A DDE conversation was refused: ZmDDE has no file descriptors left. Close some links or raise "
    "its limit (ulimit -n).";
constexpr DWORD kServiceCommands = CBF_FAIL_EXECUTES | CBF_SKIP_CONNECT_CONFIRMS;
constexpr DWORD kMonitorCommands = APPCLASS_MONITOR | MF_ERRORS;

DdeHandleValue HandleValue(HSZ hsz) {
  return static_cast<DdeHandleValue>(reinterpret_cast<uintptr_t>(hsz));
}

std::string QueryString(DWORD instance, HSZ hsz) {
  char text[CRequestRenderer::kMaxNameLength + 2] = {};
  DdeQueryStringA(instance, hsz, text, sizeof text, CP_WINANSI);
  return text;
}

using orvcom::Narrow;

// A failed transaction tells the user why; the program goes on.
void ShowComError(const _com_error& e) {
  try {
    std::string description = Narrow(e.Description());
    if (description.empty()) description = e.ErrorMessage();
    std::string text = "\nError: " + description;
    const std::string source = Narrow(e.Source());
    if (!source.empty()) text += "\nSource: " + source;
    MessageBoxA(nullptr, text.c_str(), "DdeCallback error", MB_ICONWARNING | MB_OK);
  } catch (...) {
  }
}

}  // namespace

BOOL CDDEServer::StartDde() {
  if (DdeInitializeA(&m_ddeServerInstance, &CDDEServer::DdeCallback, kServiceCommands, 0) !=
      DMLERR_NO_ERROR)
    return FALSE;
  if (DdeInitializeA(&m_ddeMonitorInstance, &CDDEServer::DdeMonitorCallback, kMonitorCommands,
                     0) != DMLERR_NO_ERROR)
    return FALSE;
  m_ddeServiceName = DdeCreateStringHandleA(m_ddeServerInstance, kServiceName, CP_WINANSI);
  for (const char* name : DdeItemTableNames())
    m_itemHandles[name] = DdeCreateStringHandleA(m_ddeServerInstance, name, CP_WINANSI);
  DdeNameService(m_ddeServerInstance, m_ddeServiceName, nullptr, DNS_REGISTER);
  if (!m_workerThread) StartWorker();
  return TRUE;
}

void CDDEServer::EndDde() {
  if (m_ddeServiceName)
    DdeNameService(m_ddeServerInstance, m_ddeServiceName, nullptr, DNS_UNREGISTER);
  m_ddeServiceName = nullptr;
  if (m_ddeServerInstance) DdeUninitialize(m_ddeServerInstance);
  if (m_ddeMonitorInstance) DdeUninitialize(m_ddeMonitorInstance);
  m_ddeServerInstance = 0;
  m_ddeMonitorInstance = 0;
}

HDDEDATA CALLBACK CDDEServer::DdeCallback(UINT type, UINT format, HCONV, HSZ hsz1, HSZ hsz2,
                                          HDDEDATA, ULONG_PTR data1, ULONG_PTR) {
  CDDEServer* server = s_instance;
  if (!server) return nullptr;
  try {
    switch (type) {
      case XTYP_ERROR:
        // Out of descriptors: every new cell's conversation is refused
        // until some are free, which the user must hear of.
        if ((data1 & 0xFFFF) == DMLERR_LOW_MEMORY)
          server->Balloon(kRefusedText, "ZmDDE", NIIF_WARNING);
        return nullptr;
      case XTYP_CONNECT:
        return reinterpret_cast<HDDEDATA>(static_cast<uintptr_t>(server->OnConnect(hsz1, hsz2)));
      case XTYP_DISCONNECT:
        return reinterpret_cast<HDDEDATA>(
            static_cast<uintptr_t>(server->OnDisconnect(hsz1, hsz2)));
      case XTYP_ADVSTART: {
        if (format != CF_TEXT) return nullptr;
        const BOOL started = server->OnAdviseStart(hsz1, hsz2);
        if (started) server->NoteLinkStart(hsz1, hsz2);
        return reinterpret_cast<HDDEDATA>(static_cast<uintptr_t>(started));
      }
      case XTYP_ADVSTOP:
        if (format != CF_TEXT) return nullptr;
        server->NoteLinkStop(hsz1, hsz2);
        return reinterpret_cast<HDDEDATA>(
            static_cast<uintptr_t>(server->OnAdviseStop(hsz1, hsz2)));
      case XTYP_REQUEST:
      case XTYP_ADVREQ:
        if (format != CF_TEXT) return nullptr;
        return server->OnRequest(hsz1, hsz2);
      default:
        return nullptr;
    }
  } catch (const _com_error& e) {
    ShowComError(e);
  } catch (const std::bad_alloc&) {
    // A container of the store or of the service ran out of memory.
    ShowComError(_com_error(E_OUTOFMEMORY));
  } catch (...) {
  }
  return nullptr;
}

HDDEDATA CALLBACK CDDEServer::DdeMonitorCallback(UINT type, UINT, HCONV, HSZ, HSZ, HDDEDATA data,
                                                 ULONG_PTR, ULONG_PTR) {
  if (type == XTYP_MONITOR && data) {
    DWORD size = 0;
    if (DdeAccessData(data, &size)) DdeUnaccessData(data);
  }
  return nullptr;
}

BOOL CDDEServer::OnConnect(HSZ, HSZ) { return TRUE; }

BOOL CDDEServer::OnDisconnect(HSZ, HSZ) { return TRUE; }

HDDEDATA CDDEServer::OnRequest(HSZ topic, HSZ item) {
  m_subscriptions.Wake();
  const std::string topicText = QueryString(m_ddeServerInstance, topic);
  const std::string itemText = QueryString(m_ddeServerInstance, item);
  const DWORD instance = m_ddeServerInstance;
  CRequestRenderer::NoteTopic(g_DataHolder, m_topicLock, UpperCaseName(topicText),
                              HandleValue(topic), [instance](DdeHandleValue handle) {
                                DdeKeepStringHandle(instance,
                                                    reinterpret_cast<HSZ>(uintptr_t(handle)));
                              });
  const CRequestRenderer renderer(g_DataHolder, m_months);
  const std::optional<std::string> text =
      renderer.Render(HandleValue(topic), topicText, itemText, DdeCredentials{m_user, m_password});
  if (!text) return nullptr;
  return DdeCreateDataHandle(instance,
                             reinterpret_cast<LPBYTE>(const_cast<char*>(text->c_str())),
                             static_cast<DWORD>(text->size() + 1), 0, item, CF_TEXT, 0);
}


HSZ CDDEServer::ItemHandle(const char* name) const {
  auto it = m_itemHandles.find(name);
  return it == m_itemHandles.end() ? nullptr : it->second;
}

}  // namespace zmdde
