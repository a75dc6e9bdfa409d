// A program of one's own on ORVE's automation interface: signs in, reads a
// stock's record and prints it. ORVE is found through the registry (after
// ORVE -RegServer) and started if it is not running, as a spreadsheet's
// macro would start it.
//
//   stock_price USER PASSWORD SYMBOL
#include <cstdio>
#include <string>

#include "BraskOrvEnt.h"
#include "platform/com/com.h"
#include "platform/com/comdef.h"

namespace {

std::string Narrow(BSTR text) {
  std::string out;
  for (UINT i = 0; text != nullptr && i < SysStringLen(text); ++i) out += static_cast<char>(text[i]);
  return out;
}

// A failed call's reason is in the calling thread's error information.
int Fail(const char* what, HRESULT hr) {
  std::string reason;
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) == S_OK && info != nullptr) {
    BSTR description = nullptr;
    info->GetDescription(&description);
    reason = Narrow(description);
    SysFreeString(description);
    info->Release();
  }
  std::fprintf(stderr, "stock_price: %s failed (0x%08X) %s\n", what, unsigned(hr), reason.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: stock_price USER PASSWORD SYMBOL\n");
    return 2;
  }
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  int status = 0;
  IZmOrvEnt* orv = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_ZmOrvEnt, nullptr, CLSCTX_LOCAL_SERVER, IID_IZmOrvEnt,
                                reinterpret_cast<void**>(&orv));
  if (FAILED(hr)) {
    status = Fail("creating ZmOrvEnt", hr);
  } else {
    // Connect signs in to the equities service (FutConnect to the futures one).
    hr = orv->Connect(_bstr_t(argv[1]), _bstr_t(argv[2]));
    IStocksEnt* stock = nullptr;
    if (FAILED(hr)) {
      status = Fail("Connect", hr);
    } else if (FAILED(hr = orv->GetStockBySymbol(_bstr_t(argv[3]), &stock))) {
      status = Fail("GetStockBySymbol", hr);
    } else {
      // A cursor: its properties show the current record.
      BSTR symbol = nullptr;
      float last = 0, bid = 0, ask = 0;
      stock->get_Symbol(&symbol);
      stock->get_LastPrice(&last);
      stock->get_BidPrice(&bid);
      stock->get_AskPrice(&ask);
      std::printf("%s last %.4f bid %.4f ask %.4f\n", Narrow(symbol).c_str(), last, bid, ask);
      SysFreeString(symbol);
      stock->Release();
    }
    orv->Disconnect();
    orv->Release();
  }
  CoUninitialize();
  return status;
}
