// The centre of the DDE bridge: the automation client of the server (it
// signs in on both services and keeps the main object), the sink of the
// server's change events (which it copies into the record store), and the
// owner of the locks, events, threads and request lists that the DDE side,
// the subscription worker and the over-limit thread share.
//
// Calls into the server that subscribe or fetch snapshots run only on the
// worker thread or the over-limit thread; the DDE side only queues
// requests.
#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/com/atlcom.h"
#include "platform/com/comdef.h"
#include "dde/CDataHolder.h"
#include "platform/dde/ddeml.h"
#include "dde/NameGrammar.h"
#include "dde/SubscriptionQueue.h"
#include "server/contract/BraskOrvEntTypes.h"
#include "platform/win/sync.h"
#include "platform/win/thread.h"

namespace zmdde {

class CSystemTray;

// The one server object of the program, reached through Instance().
class CDDEServer : public IDispEventSimpleImpl<1, CDDEServer, &DIID__IZmOrvEventsEnt> {
 public:
  // Unadvised-subscription count above which the over-limit thread starts.
  static constexpr LONG kOverLimitThreshold = 1000;

  explicit CDDEServer(CSystemTray* tray);

  STDMETHOD_(ULONG, AddRef)() override { return static_cast<ULONG>(++m_sinkRefs); }
  STDMETHOD_(ULONG, Release)() override { return static_cast<ULONG>(--m_sinkRefs); }
  virtual ~CDDEServer();
  CDDEServer(const CDDEServer&) = delete;
  CDDEServer& operator=(const CDDEServer&) = delete;

  // The one server object of the process, or null.
  static CDDEServer* Instance() { return s_instance; }
  // The signed-in main object (kept after a disconnect), or null. A copy:
  // the main thread replaces it while the worker and the over-limit thread
  // call through it.
  static IZmOrvEntPtr ServerObject();

  // ---- server connection ----
  // Signs in on both services and advises; raises _com_error when neither
  // side signs in or the advise fails.
  void ConnectToServer(const _bstr_t& userName, const _bstr_t& password);
  // Signs out and unadvises; never raises.
  void DisconnectServer();
  bool IsConnected() const { return m_connected != 0; }
  [[noreturn]] static void ThrowComErrorWithText(HRESULT hr, const OLECHAR* text);

  // ---- a lost server ----
  // Called (on any thread, once per loss) when the signed-in server is
  // found gone: its connection closed, or a call failed with
  // RPC_E_DISCONNECTED or RPC_S_SERVER_UNAVAILABLE. Null removes it.
  static void SetServerLostNotice(std::function<void()> notice);
  // Whether a call's failure says the server is gone; it then notes the loss.
  static bool NoteIfServerLost(HRESULT hr);
  // One try at a new server after a loss: a new main object (which starts a
  // new ORVE), the sign-in with the credentials of the last one, the sink
  // advised, and a subscription queued for every entry that still has a
  // link. No balloons for the sides that fail: the loss was shown once.
  // True when connected again.
  bool Reconnect();

  // ---- event handlers ----
  // Counts the events in progress, so that the destructor can wait for the
  // ones the server sent before the sink was unadvised.
  STDMETHOD(Invoke)(DISPID dispid, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                    VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) override;
  virtual HRESULT STDMETHODCALLTYPE OnStocksChange(IDispatch* cursor);
  virtual HRESULT STDMETHODCALLTYPE OnOptionsChange(IDispatch* cursor);
  virtual HRESULT STDMETHODCALLTYPE OnNstdOptionsChange(IDispatch* cursor);
  virtual HRESULT STDMETHODCALLTYPE OnFuturesChange(IDispatch* cursor);
  virtual HRESULT STDMETHODCALLTYPE OnFutOptionsChange(IDispatch* cursor);
  virtual HRESULT STDMETHODCALLTYPE OnIVIndexChange(IDispatch* cursor);
  virtual HRESULT STDMETHODCALLTYPE OnIVSurfaceChange(IDispatch* cursor);
  virtual HRESULT STDMETHODCALLTYPE OnFutIVIndexChange(IDispatch* cursor);
  virtual HRESULT STDMETHODCALLTYPE OnFutIVSurfaceChange(IDispatch* cursor);
  virtual HRESULT STDMETHODCALLTYPE OnError(LONG number, BSTR description);
  virtual HRESULT STDMETHODCALLTYPE OnATMChange(IDispatch* cursor);

  BEGIN_SINK_MAP(CDDEServer)
  SINK_ENTRY_EX(1, DIID__IZmOrvEventsEnt, 1, OnStocksChange)
  SINK_ENTRY_EX(1, DIID__IZmOrvEventsEnt, 2, OnOptionsChange)
  SINK_ENTRY_EX(1, DIID__IZmOrvEventsEnt, 3, OnIVIndexChange)
  SINK_ENTRY_EX(1, DIID__IZmOrvEventsEnt, 4, OnIVSurfaceChange)
  SINK_ENTRY_EX(1, DIID__IZmOrvEventsEnt, 5, OnError)
  SINK_ENTRY_EX(1, DIID__IZmOrvEventsEnt, 6, OnATMChange)
  SINK_ENTRY_EX(1, DIID__IZmOrvEventsEnt, 9, OnFuturesChange)
  SINK_ENTRY_EX(1, DIID__IZmOrvEventsEnt, 10, OnFutOptionsChange)
  SINK_ENTRY_EX(1, DIID__IZmOrvEventsEnt, 11, OnFutIVIndexChange)
  SINK_ENTRY_EX(1, DIID__IZmOrvEventsEnt, 12, OnFutIVSurfaceChange)
  SINK_ENTRY_EX(1, DIID__IZmOrvEventsEnt, 13, OnNstdOptionsChange)
  END_SINK_MAP()

  // ---- DDE service ----
  // Initialises the service and monitor instances, registers "ZmDDE",
  // makes the item handles and starts the worker. FALSE when an instance
  // cannot be initialised.
  BOOL StartDde();
  static HDDEDATA CALLBACK DdeCallback(UINT type, UINT format, HCONV conversation, HSZ hsz1,
                                       HSZ hsz2, HDDEDATA data, ULONG_PTR data1,
                                       ULONG_PTR data2);
  static HDDEDATA CALLBACK DdeMonitorCallback(UINT type, UINT format, HCONV conversation,
                                              HSZ hsz1, HSZ hsz2, HDDEDATA data,
                                              ULONG_PTR data1, ULONG_PTR data2);
  BOOL OnConnect(HSZ topic, HSZ service);
  BOOL OnDisconnect(HSZ hsz1, HSZ hsz2);
  // The answer to a request or advise request, or 0 for no data.
  HDDEDATA OnRequest(HSZ topic, HSZ item);
  BOOL OnAdviseStart(HSZ topic, HSZ item);
  BOOL OnAdviseStop(HSZ topic, HSZ item);
  // What an accepted link counts on, as its start decided: its stop takes
  // back exactly that.
  enum class LinkRoute {
    kNone, kStock, kOption, kNstdOption, kFuture, kFutOption, kHv, kIVIndex, kIVSurface,
    kFutIVIndex, kFutIVSurface, kAtm
  };

  // ---- advise links ----
  BOOL AdviseStartStock(const std::string& topic, HSZ topicHandle);
  BOOL AdviseStartFuture(const std::string& topic, HSZ topicHandle);
  BOOL AdviseStartOption(const std::string& topic, HSZ topicHandle);
  BOOL AdviseStartNstdOption(const std::string& topic, HSZ topicHandle);
  BOOL AdviseStartFutOption(const std::string& topic, HSZ topicHandle);
  BOOL AdviseStartHv(const std::string& topic, HSZ topicHandle, HSZ item, SHORT term);
  BOOL AdviseStartIVIndex(const std::string& topic, HSZ item, LONG type, SHORT term);
  BOOL AdviseStartFutIVIndex(const std::string& topic, HSZ item, LONG type, SHORT term);
  BOOL AdviseStartIVSurface(const std::string& topic, HSZ item, LONG type, SHORT term, SHORT otm,
                            const char* selector);
  BOOL AdviseStartFutIVSurface(const std::string& topic, HSZ item, LONG type, SHORT term,
                               SHORT otm, const char* selector);
  BOOL AdviseStartAtm(const std::string& topic, HSZ item, LONG expiry);
  BOOL AdviseStopStock(const std::string& topic);
  BOOL AdviseStopFuture(const std::string& topic);
  BOOL AdviseStopOption(const std::string& topic);
  BOOL AdviseStopNstdOption(const std::string& topic);
  BOOL AdviseStopFutOption(const std::string& topic);
  BOOL AdviseStopHv(const std::string& topic);
  BOOL AdviseStopIVIndex(const std::string& topic);
  BOOL AdviseStopFutIVIndex(const std::string& topic);
  BOOL AdviseStopIVSurface(const std::string& topic);
  BOOL AdviseStopFutIVSurface(const std::string& topic);
  BOOL AdviseStopAtm(const std::string& topic);
  // Takes back the queued subscribe request of the symbol and kind.
  void PurgeQueuedRequests(const std::string& symbol, DataTypeEnum kind);

  // ---- timer passes ----
  // Posts the advise links of every changed entry (every 5000 ms) and polls
  // the ATM volatilities of the stocks seen since the last pass.
  void PostAdvises();
  void PollAtm(const std::string& topic);
  // The DDE side's links, counted by topic and item handle as the service
  // accepts their starts and hears their stops: the posting pass posts only
  // the items that have some.
  void NoteLinkStart(HSZ topic, HSZ item);
  void NoteLinkStop(HSZ topic, HSZ item);
  struct DueAdvise {
    HSZ topic;
    HSZ item;
  };
  // The first half of the posting pass: the linked items of the changed
  // entries of every group but ATM, in posting order, whose changed flags it
  // clears; PostAdvises posts them once no group lock is held.
  std::vector<DueAdvise> TakeDueAdvises();
  // Drops the instruments no link uses any more, queues the unsubscription
  // of what the server holds without a link and the retry of refused
  // subscriptions that links still wait for (every 25500 ms), then wakes
  // the worker.
  void RefreshAll();

  // ---- topics ----
  // The topic handle of the conversation that first asked for the symbol
  // (upper-case topic text), or 0.
  DdeHandleValue FindTopicHandle(const std::string& topic);
  // Records the first topic handle of a symbol (the request path's half).
  void RememberTopicHandle(const std::string& topic, DdeHandleValue handle);

  // ---- subscription queue ----
  // Appends unless a request of the same symbol, kind and direction is
  // queued (one of the other direction is taken back); wakes the worker.
  // True when appended.
  bool Enqueue(const SubscriptionRequest& request);
  // The queue, the deferred requests and the link counts.
  SubscriptionQueue& Subscriptions() { return m_subscriptions; }
  // How the worker holds back after the server's subscription limit: by
  // default a wait that ends early when the object goes. Set before the
  // worker starts (tests put in one that returns at once).
  void SetWorkerPause(std::function<void(DWORD milliseconds)> pause) { m_pause = std::move(pause); }
  // Starts the worker thread (the DDE service start-up does this).
  bool StartWorker();
  static DWORD WorkerThread(LPVOID server);
  void ProcessRequest(const SubscriptionRequest& request);
  static DWORD OverLimitThread(LPVOID server);
  bool IsOverLimitThreadRunning();
  // Whether option requests are parked now: the over-limit thread runs and
  // has not begun to hand the parked ones back.
  bool OverLimitBlocks();
  LONG CountActiveOptionSubscriptions();
  LONG CountActiveNstdOptionSubscriptions();
  LONG CountActiveFutOptionSubscriptions();
  // Moves the parked option requests back to the queue once the
  // over-limit thread has ended (the refresh pass calls this).
  void RequeueDeferredRequests();

  // ---- subscription routines ----
  void SubscribeStock(const SubscriptionRequest& request);
  void SubscribeOptions(const SubscriptionRequest& request);
  void SubscribeIVIndexes(const SubscriptionRequest& request);
  void SubscribeIVSurfaces(const SubscriptionRequest& request);
  void SubscribeATM(const SubscriptionRequest& request);
  void SubscribeFuture(const SubscriptionRequest& request);
  void SubscribeFutOptions(const SubscriptionRequest& request);
  void SubscribeFutIVIndexes(const SubscriptionRequest& request);
  void SubscribeFutIVSurfaces(const SubscriptionRequest& request);
  void SubscribeNstdOptions(const SubscriptionRequest& request);

  const MonthTable& Months() const { return m_months; }
  // A copy of the stock topics the next posting pass polls ATM values for.
  std::vector<std::string> AtmPollTopics();

  // Whether a subscription-limit error was shown by the over-limit thread
  // since its last successful single-option subscription.
  static std::atomic<BYTE> limitReported;

  // The DDE instances and the registered service name, set by the DDE
  // service start-up; the destructor ends them.
  DWORD m_ddeServerInstance = 0;
  DWORD m_ddeMonitorInstance = 0;
  HSZ m_ddeServiceName = nullptr;

 private:
  template <class Cursor, class Fn>
  HRESULT WalkEvent(IDispatch* dispatch, Fn&& perRecord);
  template <class Entry, class Cursor>
  void SubscribeOptionChain(const SubscriptionRequest& request, OptionGroup<Entry>& group,
                            SymbolTypeEnum singleType, SymbolTypeEnum groupType,
                            const char* subscribeText, const char* unsubscribeText,
                            bool slashedSymbols, BYTE& overLimitMark,
                            LONG (CDDEServer::*countActive)(),
                            _com_ptr_t<Cursor> (*getOne)(IZmOrvEntPtr&, const _bstr_t&),
                            _com_ptr_t<Cursor> (*getChain)(IZmOrvEntPtr&, const _bstr_t&));
  // One option the server carries on its own, not with its chain.
  void SubscribeSingleOption(const SubscriptionRequest& request, const char* unsubscribeText);
  template <class Entry>
  BOOL AdviseStartOptionKind(OptionGroup<Entry>& group, const std::string& topic, HSZ topicHandle,
                             DataTypeEnum kind, SymbolTypeEnum knownType,
                             SymbolTypeEnum unknownType);
  template <class Group>
  BOOL AdviseStartSymbol(Group& group, const std::string& topic, HSZ topicHandle,
                         DataTypeEnum kind, SymbolTypeEnum type);
  template <class Group>
  BOOL AdviseStopOptionKind(Group& group, const std::string& topic, DataTypeEnum kind);
  BOOL StartLink(const std::string& topic, HSZ topicHandle, const std::string& item, HSZ itemHandle,
                 LinkRoute& route);
  // Whether the topic names a non-standard option the store knows.
  bool IsNstdOption(const std::string& topic);
  // Main thread only: the routes of the links open now, by topic and item
  // handle (conversations on one topic share its handle).
  struct OpenLink {
    LinkRoute route;
    bool trade;  // on an option's last trade or open interest
  };
  std::map<std::pair<DdeHandleValue, DdeHandleValue>, std::vector<OpenLink>> m_linkRoutes;
  void CountTradeLink(LinkRoute route, const std::string& topic, LONG delta);
  // Makes sure the topic's handle is known to the event handlers and the
  // posting pass, whichever came first: a request or a link.
  void NoteTopicHandle(const std::string& topic, HSZ topicHandle);
  // A subscription the server did not take: the key waits for the refresh
  // pass to try again, and the first refusal with a limit text is shown.
  void SubscriptionRefused(const SubscriptionKey& key, const SubscriptionRequest& retry,
                           const _com_error* error, bool held);
  template <class Cursor, class Store>
  void SubscribeThenSnapshot(const SubscriptionRequest& request,
                             _com_ptr_t<Cursor> (*get)(IZmOrvEntPtr&, const _bstr_t&),
                             Store&& store);
  void Unsubscribe(const SubscriptionRequest& request, const char* format,
                   SymbolTypeEnum symbolType);
  void Balloon(const char* text, const char* title, DWORD icon);
  void ClearBalloon();
  // A name the service does not know, shown once for as long as it is
  // refused: the refresh pass tries it again every round.
  void ShowNotFound(const SubscriptionRequest& request, const _com_error& error);
  // A sleep of the worker that ends early when the server object goes.
  void PauseWorker(DWORD milliseconds);
  void StartOverLimitThread();
  // The over-limit thread's last act: the parked requests go back at once.
  void EndOverLimit();
  // Unregisters the service and ends the DDE instances, where they exist.
  void EndDde();

  // ConnectToServer, with or without the balloons of the sides that fail.
  void SignIn(const _bstr_t& userName, const _bstr_t& password, bool balloons);
  // Queues a subscription for every key that a DDE link still holds: a new
  // main object knows nothing of what the old one served (a lost server, or
  // a sign-out and a sign-in again).
  void QueueLinkedEntries();
  static void NoteServerLost();
  void ForgetLostServer();

  CSystemTray* m_tray;
  LONG m_connected = 0;
  HANDLE m_workerThread = nullptr;
  HANDLE m_stopEvent = nullptr;
  SubscriptionQueue m_subscriptions;
  CRITICAL_SECTION m_topicLock;
  // Under the topic lock: link count by item handle, by topic handle.
  std::map<DdeHandleValue, std::map<DdeHandleValue, int>> m_links;
  CRITICAL_SECTION m_eventLock;
  // The worker starts the over-limit thread while the main thread asks
  // whether it runs.
  std::mutex m_overLimitLock;
  HANDLE m_overLimitThread = nullptr;
  std::atomic<bool> m_overLimitEnding{false};
  MonthTable m_months;
  std::vector<std::string> m_atmPollList;
  CRITICAL_SECTION m_atmPollLock;

  // Set once the object is going: ends the worker's pauses and the
  // over-limit thread's walk, since threads here cannot be killed.
  HANDLE m_quitEvent = nullptr;
  std::function<void(DWORD)> m_pause;
  std::atomic<bool> m_quitting{false};
  // Events being delivered right now; none starts once closing is set.
  std::atomic<int> m_eventsInProgress{0};
  // Counts the sign-ins that replaced what the server holds: a chain the
  // worker subscribed on the server before one is not held by the one after.
  std::atomic<unsigned> m_signIns{0};
  // References the server (through the transport) holds on the sink. They
  // do not own the object, but the destructor waits for them to go: an event
  // already on its way in still reaches the sink after the unadvise.
  std::atomic<LONG> m_sinkRefs{0};
  std::atomic<bool> m_closing{false};

  // The string handle of every item name, made when the service starts.
  HSZ ItemHandle(const char* name) const;
  std::map<std::string, HSZ> m_itemHandles;

  // The credentials of the last successful sign-in, answered to the items
  // "Login" and "Password".
  std::string m_user;
  std::string m_password;

  // Over-limit marks of options, non-standard options and future options.
  BYTE m_optionOverLimit = 0;
  BYTE m_nstdOptionOverLimit = 0;
  BYTE m_futOptionOverLimit = 0;

  static void SetServerObject(const IZmOrvEntPtr& server);

  static CDDEServer* s_instance;
  static std::mutex s_serverLock;
  static IZmOrvEntPtr s_server;
  // Main objects of servers that were lost: kept, not released, while a
  // worker may still be in a call on one; released with the object.
  std::vector<IZmOrvEnt*> m_lostServers;
  // Set while signed in to a live server; the first loss clears it.
  static std::atomic<bool> s_live;
};

}  // namespace zmdde
