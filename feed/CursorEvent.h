// How a table hands records to a client: a cursor object filled with them,
// behind the interface that its event carries, and a task on the table's
// event pool that fires the event.
#pragma once

#include <utility>

#include "feed/TableErrorLog.h"
#include "platform/com/com.h"
#include "platform/log/Log.h"

// Builds the cursor of Object, gives it the records and hands its interface
// (iid) to post, which makes the event's task and posts it. What fails is
// logged as className::_SendEvent(), with the trace lines around it; the
// debug line names the caller's place.
template <class Object, class Interface, class Records, class Post>
void SendCursorEvent(const char* className, REFIID iid, Records&& records, Post&& post,
                     const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
  ORV_LOG(orvlog::kTrace, className << "::_SendEvent() started");
  try {
    CComObject<Object>* object = nullptr;
    HRESULT hr = CComObject<Object>::CreateInstance(&object);
    if (FAILED(hr)) _com_issue_error(hr);
    // Our own reference around the query, so that a refused one frees the
    // object; the interface reference keeps it afterwards.
    object->AddRef();
    Interface* raw = nullptr;
    hr = object->QueryInterface(iid, reinterpret_cast<void**>(&raw));
    CComPtr<Interface> cursor;
    cursor.Attach(raw);
    object->Release();
    if (FAILED(hr) || !cursor) _com_issue_error(FAILED(hr) ? hr : E_NOINTERFACE);
    object->SetData(std::forward<Records>(records));
    post(cursor.Detach());
  } catch (const _com_error& e) {
    ORV_LOG(orvlog::kDebug, "Exception: " << file << ":" << line);
    tablelog::SendEventError(className, e);
  } catch (...) {
    ORV_LOG(orvlog::kDebug, "Exception: " << file << ":" << line);
    ORV_LOG(orvlog::kError, "Unexpected error in " << className << "::_SendEvent().");
  }
  ORV_LOG(orvlog::kTrace, className << "::_SendEvent() completed");
}
