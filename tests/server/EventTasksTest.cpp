#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "feed/CEventClient.h"
#include "feed/CZmThreadPool.h"
#include "platform/log/Log.h"
#include "server/CFutIVIndexes.h"
#include "server/CFutIVSurfaces.h"
#include "server/CFutOptions.h"
#include "server/CFutures.h"
#include "server/CIVIndexes.h"
#include "server/CIVSurfaces.h"
#include "server/CNstdOptions.h"
#include "server/COptions.h"
#include "server/CProxy_IZmOrvEventsEnt.h"
#include "server/CSendFutIvsMsgWorker.h"
#include "server/CSendFutIvxMsgWorker.h"
#include "server/CSendFutureMsgWorker.h"
#include "server/CSendFutureOptionMsgWorker.h"
#include "server/CSendIvsMsgWorker.h"
#include "server/CSendIvxMsgWorker.h"
#include "server/CSendNstdOptionMsgWorker.h"
#include "server/CSendOptionMsgWorker.h"
#include "server/CSendStockMsgWorker.h"
#include "server/CStocks.h"
#include "tests/server/CursorTestSupport.h"

// The main object as far as events go: a connection point for
// _IZmOrvEventsEnt and its fire operations.
class CZmOrvEnt : public CComObjectRootEx<CComMultiThreadModel>,
                  public IConnectionPointContainerImpl<CZmOrvEnt>,
                  public CProxy_IZmOrvEventsEnt<CZmOrvEnt> {
 public:
  BEGIN_COM_MAP(CZmOrvEnt)
  COM_INTERFACE_ENTRY(IConnectionPointContainer)
  END_COM_MAP()

  BEGIN_CONNECTION_POINT_MAP(CZmOrvEnt)
  CONNECTION_POINT_ENTRY(DIID__IZmOrvEventsEnt)
  END_CONNECTION_POINT_MAP()
};

namespace {

using orvtest::MakeCursor;
using orvtest::Str;
using orvtest::Text;

struct Call {
  DISPID dispid;
  WORD flags;
  bool iidNull;
  LCID lcid;
  UINT args;
  UINT named;
  VARTYPE vt;
  IDispatch* cursor;
  bool hadResult;
  std::string symbol;  // the stock symbol, read back through the event's cursor
};

// An event sink of a client, in process. It can fail its calls, refuse
// IDispatch, or throw out of Invoke as a broken in-process sink might.
class TestSink final : public IDispatch {
 public:
  enum Behaviour { kAccept, kFailInvoke, kRefuseDispatch, kThrowComError, kThrowOther };

  explicit TestSink(Behaviour b = kAccept) : m_behaviour(b) {}

  STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    const bool dispatch = riid == IID_IDispatch && m_behaviour != kRefuseDispatch;
    if (riid == IID_IUnknown || riid == DIID__IZmOrvEventsEnt || dispatch) {
      *ppv = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  STDMETHOD_(ULONG, AddRef)() override { return ULONG(++m_refs); }
  STDMETHOD_(ULONG, Release)() override { return ULONG(--m_refs); }
  STDMETHOD(GetTypeInfoCount)(UINT* n) override {
    *n = 0;
    return S_OK;
  }
  STDMETHOD(GetTypeInfo)(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHOD(GetIDsOfNames)(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHOD(Invoke)
  (DISPID dispid, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
   UINT*) override {
    Call call{dispid,   flags,   riid == IID_NULL,  lcid, params->cArgs, params->cNamedArgs,
              VT_EMPTY, nullptr, result != nullptr, ""};
    if (params->cArgs == 1) {
      call.vt = params->rgvarg[0].vt;
      call.cursor = params->rgvarg[0].pdispVal;
      CComPtr<IStocksEnt> stocks = orvtest::Query<IStocksEnt>(call.cursor);
      if (stocks) call.symbol = Text(stocks.p, &IStocksEnt::get_Symbol);
    }
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_calls.push_back(call);
    }
    switch (m_behaviour) {
      case kFailInvoke:
        return DISP_E_EXCEPTION;
      case kThrowComError:
        throw _com_error(E_ACCESSDENIED);
      case kThrowOther:
        throw 42;
      default:
        return S_OK;
    }
  }

  std::vector<Call> Calls() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
  }
  LONG Refs() const { return m_refs; }

 private:
  Behaviour m_behaviour;
  std::atomic<LONG> m_refs{0};
  std::mutex m_mutex;
  std::vector<Call> m_calls;
};

// A main object with its sinks; the client handle as the feed's tables
// hold it.
class EventTasks : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CComObject<CZmOrvEnt>::CreateInstance(&m_object), S_OK);
    m_object->AddRef();
    m_client = CEventClient::Create(m_object);
    IConnectionPoint* point = nullptr;
    ASSERT_EQ(m_object->FindConnectionPoint(DIID__IZmOrvEventsEnt, &point), S_OK);
    m_point.Attach(point);
  }
  void TearDown() override {
    m_client->Detach();
    m_point.Release();
    m_object->Release();
  }

  // Sinks live as long as the fixture: the main object keeps its advised
  // sinks until it goes, after the test body.
  TestSink& Sink(TestSink::Behaviour behaviour = TestSink::kAccept) {
    m_sinks.push_back(std::make_unique<TestSink>(behaviour));
    return *m_sinks.back();
  }

  DWORD Advise(TestSink* sink) {
    DWORD cookie = 0;
    EXPECT_EQ(m_point->Advise(static_cast<IDispatch*>(sink), &cookie), S_OK);
    return cookie;
  }

  static void Run(CWorkerInterface* task) {
    task->DoTask();
    delete task;
  }

  std::vector<std::unique_ptr<TestSink>> m_sinks;
  CComObject<CZmOrvEnt>* m_object = nullptr;
  CEventClientPtr m_client;
  CComPtr<IConnectionPoint> m_point;
};

StockRecord Stock(const char* symbol) {
  StockRecord r;
  r.Symbol = Str(symbol);
  return r;
}

CSendStockMsgWorker* StockTask(const CEventClientPtr& client, const char* symbol, bool direct = false) {
  CComPtr<IStocksEnt> cursor = MakeCursor<CStocks, IStocksEnt>({Stock(symbol)});
  return new CSendStockMsgWorker(client, cursor.Detach(), direct);
}

struct TaskCase {
  const char* name;
  DISPID dispid;
  // Makes the task with a new cursor; answers the cursor as the event
  // should carry it and the class's live-object count.
  std::function<CWorkerInterface*(const CEventClientPtr&, IDispatch** cursor)> make;
  std::function<LONG()> live;
};

template <class T, class I, class Task, class... Extra>
TaskCase Case(const char* name, DISPID dispid, Extra... extra) {
  return {name, dispid,
          [=](const CEventClientPtr& client, IDispatch** cursor) -> CWorkerInterface* {
            CComPtr<I> c = MakeCursor<T, I>({});
            *cursor = c.p;
            return new Task(client, c.Detach(), extra...);
          },
          [] { return T::ActiveObjectCount(); }};
}

std::vector<TaskCase> AllTasks() {
  return {
      Case<CStocks, IStocksEnt, CSendStockMsgWorker>("stocks", 1, false),
      Case<CStocks, IStocksEnt, CSendStockMsgWorker>("direct stocks", 7, true),
      Case<COptions, IOptionsEnt, CSendOptionMsgWorker>("options", 2, false),
      Case<COptions, IOptionsEnt, CSendOptionMsgWorker>("direct options", 8, true),
      Case<CNstdOptions, INstdOptionsEnt, CSendNstdOptionMsgWorker>("nstd options", 13),
      Case<CNstdOptions, INstdOptionsEnt, CSendNstdOptionMsgWorker>("nstd options, flag", 13, BYTE(0)),
      Case<CIVIndexes, IIVIndexesEnt, CSendIvxMsgWorker>("iv index", 3),
      Case<CIVSurfaces, IIVSurfacesEnt, CSendIvsMsgWorker>("iv surface", 4),
      Case<CFutures, IFuturesEnt, CSendFutureMsgWorker>("futures", 9),
      Case<CFutures, IFuturesEnt, CSendFutureMsgWorker>("futures, flag", 9, BYTE(1)),
      Case<CFutOptions, IFutOptionsEnt, CSendFutureOptionMsgWorker>("futures options", 10),
      Case<CFutOptions, IFutOptionsEnt, CSendFutureOptionMsgWorker>("futures options, flag", 10, BYTE(1)),
      Case<CFutIVIndexes, IFutIVIndexesEnt, CSendFutIvxMsgWorker>("futures iv index", 11),
      Case<CFutIVSurfaces, IFutIVSurfacesEnt, CSendFutIvsMsgWorker>("futures iv surface", 12),
  };
}

TEST_F(EventTasks, EachTaskRaisesItsEventWithItsCursorAndReleasesIt) {
  TestSink& sink = Sink();
  Advise(&sink);
  for (const TaskCase& k : AllTasks()) {
    const LONG before = k.live();
    IDispatch* cursor = nullptr;
    CWorkerInterface* task = k.make(m_client, &cursor);
    EXPECT_EQ(k.live(), before + 1) << k.name;
    const size_t seen = sink.Calls().size();
    Run(task);
    const std::vector<Call> calls = sink.Calls();
    ASSERT_EQ(calls.size(), seen + 1) << k.name;
    const Call& c = calls.back();
    EXPECT_EQ(c.dispid, k.dispid) << k.name;
    EXPECT_EQ(c.flags, DISPATCH_METHOD) << k.name;
    EXPECT_TRUE(c.iidNull) << k.name;
    EXPECT_EQ(c.lcid, LCID(LOCALE_USER_DEFAULT)) << k.name;
    EXPECT_EQ(c.args, 1u) << k.name;
    EXPECT_EQ(c.named, 0u) << k.name;
    EXPECT_EQ(c.vt, VT_DISPATCH) << k.name;
    EXPECT_EQ(c.cursor, cursor) << k.name;
    EXPECT_TRUE(c.hadResult) << k.name;
    EXPECT_EQ(k.live(), before) << k.name << ": the cursor outlived its task";
  }
  for (const Call& c : sink.Calls()) {
    EXPECT_NE(c.dispid, 5) << "OnError is never raised";
    EXPECT_NE(c.dispid, 6) << "OnATMChange is never raised";
  }
}

TEST_F(EventTasks, EverySinkGetsTheSameCursorAndAFailingOneStopsNobody) {
  TestSink& refusing = Sink(TestSink::kRefuseDispatch);
  TestSink& failing = Sink(TestSink::kFailInvoke);
  TestSink& good = Sink();
  Advise(&refusing);
  Advise(&failing);
  Advise(&good);
  Run(StockTask(m_client, "IBM"));
  EXPECT_EQ(refusing.Calls().size(), 0u);
  ASSERT_EQ(failing.Calls().size(), 1u);
  ASSERT_EQ(good.Calls().size(), 1u);
  EXPECT_EQ(failing.Calls()[0].cursor, good.Calls()[0].cursor);
  EXPECT_EQ(good.Calls()[0].symbol, "IBM");
  EXPECT_EQ(good.Calls()[0].dispid, 1);
  // The fire took references only for the length of each call.
  EXPECT_EQ(refusing.Refs(), 1);
  EXPECT_EQ(failing.Refs(), 1);
  EXPECT_EQ(good.Refs(), 1);
}

TEST_F(EventTasks, ASinkAdvisedTwiceHearsTwiceAndAnUnadvisedSlotIsSkipped) {
  TestSink& twice = Sink();
  TestSink& gone = Sink();
  TestSink& after = Sink();
  Advise(&twice);
  const DWORD goneCookie = Advise(&gone);
  Advise(&twice);
  Advise(&after);
  ASSERT_EQ(m_point->Unadvise(goneCookie), S_OK);
  Run(StockTask(m_client, "MSFT", true));
  EXPECT_EQ(twice.Calls().size(), 2u);
  EXPECT_EQ(gone.Calls().size(), 0u);
  ASSERT_EQ(after.Calls().size(), 1u);
  EXPECT_EQ(after.Calls()[0].dispid, 7);
}

TEST_F(EventTasks, AClientWithoutSinksStillReleasesTheCursor) {
  const LONG before = CStocks::ActiveObjectCount();
  Run(StockTask(m_client, "IBM"));
  EXPECT_EQ(CStocks::ActiveObjectCount(), before);
}

TEST_F(EventTasks, ATaskWhoseClientHasGoneFiresNothing) {
  TestSink& sink = Sink();
  Advise(&sink);
  const LONG before = CStocks::ActiveObjectCount();
  CWorkerInterface* task = StockTask(m_client, "IBM");
  m_client->Detach();  // the client went before the pool ran the task
  Run(task);
  EXPECT_EQ(sink.Calls().size(), 0u);
  EXPECT_EQ(CStocks::ActiveObjectCount(), before);

  // A task made without a client at all is as harmless.
  Run(StockTask(CEventClientPtr(), "IBM"));
  EXPECT_EQ(CStocks::ActiveObjectCount(), before);
}

// ---- The log lines of a task ----------------------------------------------------

class EventTaskLog : public EventTasks {
 protected:
  void SetUp() override {
    EventTasks::SetUp();
    m_path = ::testing::TempDir() + "event_tasks_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name() + "." + std::to_string(getpid()) + ".log";
    std::remove(m_path.c_str());
    orvlog::InitRollingFile(m_path);
    m_level = orvlog::GetLevel();
    orvlog::SetLevel(orvlog::kTrace);
  }
  void TearDown() override {
    orvlog::SetLevel(m_level);
    orvlog::InitConsole();
    std::remove(m_path.c_str());
    EventTasks::TearDown();
  }
  std::string Log() {
    std::ifstream in(m_path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::string m_path;
  int m_level = 0;
};

TEST_F(EventTaskLog, StartedAndCompletedLinesAndTheCallLinesOfStockEvents) {
  TestSink& sink = Sink();
  Advise(&sink);
  Run(StockTask(m_client, "IBM"));
  const std::string log = Log();
  EXPECT_NE(log.find("TASK: Send stock message to client started \n"), std::string::npos) << log;
  EXPECT_NE(log.find("TASK: Send stock message to client completed\n"), std::string::npos) << log;
  EXPECT_NE(log.find("IDispatch to "), std::string::npos) << log;
  EXPECT_NE(log.find("IDispatch from "), std::string::npos) << log;
}

TEST_F(EventTaskLog, FuturesOptionsLogUnderTheOptionTextsWithoutCallLines) {
  TestSink& sink = Sink();
  Advise(&sink);
  CComPtr<IFutOptionsEnt> c = MakeCursor<CFutOptions, IFutOptionsEnt>({});
  Run(new CSendFutureOptionMsgWorker(m_client, c.Detach()));
  const std::string log = Log();
  EXPECT_NE(log.find("TASK: Send option message to client started\n"), std::string::npos) << log;
  EXPECT_NE(log.find("TASK: Send option message to client completed\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("IDispatch to "), std::string::npos) << log;
}

TEST_F(EventTaskLog, AComErrorOutOfASinkIsLoggedAndLaterSinksMissTheEvent) {
  TestSink& throwing = Sink(TestSink::kThrowComError);
  TestSink& later = Sink();
  Advise(&throwing);
  Advise(&later);
  const LONG before = COptions::ActiveObjectCount();
  CComPtr<IOptionsEnt> c = MakeCursor<COptions, IOptionsEnt>({});
  Run(new CSendOptionMsgWorker(m_client, c.Detach(), false));
  EXPECT_EQ(later.Calls().size(), 0u);
  EXPECT_EQ(COptions::ActiveObjectCount(), before);
  EXPECT_EQ(throwing.Refs(), 1);  // the fire dropped its references as the error passed
  const std::string log = Log();
  EXPECT_NE(log.find("Exception: "), std::string::npos) << log;
  EXPECT_NE(log.find("ERROR: CSendOptionMsgWorker::DoTask() Code = 80070005\n\tCode meaning = "),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("\n\tDescription = "), std::string::npos) << log;
  EXPECT_NE(log.find("TASK: Send option message to client completed"), std::string::npos) << log;
}

TEST_F(EventTaskLog, AnythingElseOutOfASinkIsAnUnknownError) {
  TestSink& throwing = Sink(TestSink::kThrowOther);
  Advise(&throwing);
  CComPtr<IFuturesEnt> c = MakeCursor<CFutures, IFuturesEnt>({});
  Run(new CSendFutureMsgWorker(m_client, c.Detach()));
  const std::string log = Log();
  EXPECT_NE(log.find("ERROR: CSendFutureMsgWorker::DoTask() method unknown error"), std::string::npos) << log;
  EXPECT_NE(log.find("TASK: Send future message to client completed"), std::string::npos) << log;
}

TEST_F(EventTaskLog, AtDebugLevelAQuietTaskWritesNothing) {
  TestSink& sink = Sink();
  Advise(&sink);
  // The cursor's own creation and deletion lines are debug lines; keep
  // them out, this is about the task.
  orvlog::SetLevel(orvlog::kError);
  CComPtr<IIVIndexesEnt> c = MakeCursor<CIVIndexes, IIVIndexesEnt>({});
  CWorkerInterface* task = new CSendIvxMsgWorker(m_client, c.Detach());
  orvlog::SetLevel(orvlog::kDebug);
  task->DoTask();
  orvlog::SetLevel(orvlog::kError);
  delete task;
  EXPECT_EQ(sink.Calls().size(), 1u);
  EXPECT_EQ(Log(), "");
}

// ---- Tasks on the event pool -------------------------------------------------

TEST_F(EventTasks, PoolThreadsRunQueuedTasksAndDeleteThem) {
  TestSink& sink = Sink();
  Advise(&sink);
  const LONG before = CStocks::ActiveObjectCount();
  CEventPool pool;
  ASSERT_TRUE(pool.Initialize(nullptr, 5));
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(pool.QueueRequest(StockTask(m_client, "IBM")));
  EXPECT_TRUE(pool.Shutdown(orvpool::kInfinite).empty());
  EXPECT_EQ(sink.Calls().size(), 20u);
  EXPECT_EQ(CStocks::ActiveObjectCount(), before);
}

// Holds the pool's only thread until the pool has begun to shut down.
class HoldUntilShutdown : public CWorkerInterface {
 public:
  HoldUntilShutdown(CEventPool* pool, std::atomic<bool>* running) : m_pool(pool), m_running(running) {}
  void DoTask() override {
    *m_running = true;
    while (m_pool->ThreadCount() != 0) Sleep(1);
  }

 private:
  CEventPool* m_pool;
  std::atomic<bool>* m_running;
};

TEST_F(EventTasks, TasksLeftInTheQueueAtShutdownAreDeletedWithTheirCursors) {
  TestSink& sink = Sink();
  Advise(&sink);
  const LONG before = CStocks::ActiveObjectCount();
  auto pool = std::make_unique<CEventPool>();
  ASSERT_TRUE(pool->Initialize(nullptr, 1));
  std::atomic<bool> running{false};
  ASSERT_TRUE(pool->QueueRequest(new HoldUntilShutdown(pool.get(), &running)));
  while (!running) Sleep(1);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(pool->QueueRequest(StockTask(m_client, "IBM")));
  EXPECT_EQ(CStocks::ActiveObjectCount(), before + 3);
  pool.reset();
  EXPECT_EQ(sink.Calls().size(), 0u);
  EXPECT_EQ(CStocks::ActiveObjectCount(), before);
}

}  // namespace
